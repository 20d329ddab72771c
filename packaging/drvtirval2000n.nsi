; The Windows installer of drvtirval2000n (NSIS 3, a 64-bit installer). cmake/WindowsInstaller.cmake
; runs makensis on it with the build's files in STAGING and the lists of them in INSTALL_FILES and
; UNINSTALL_FILES.
;
; For all users (Program Files, the working folder in ProgramData, the common Start menu) or for
; the user alone (the user's programs folder, the working folder in LocalAppData, the user's Start
; menu); all users by default when the account may do it. Silent, for deployment to many machines:
;   drvtirval2000n-<version>-win64-setup.exe /S [/AllUsers | /CurrentUser] [/AUTOSTART] [/D=folder]
; /AUTOSTART adds the shortcut in the Startup folder (kept by an upgrade that does not ask), /D=
; names the program folder (last, unquoted). The uninstaller takes /S too.
;
; The working folder holds the settings file, the spool, the error log and the frame logs, and is
; the shortcuts' "Start in": the settings file is put there only when it is missing, and neither
; an upgrade nor the uninstaller removes or overwrites anything in it.

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
ManifestDPIAware true

!define PRODUCT "drvtirval2000n"
!define TITLE "Драйвер Тирвал 2007"
!define PUBLISHER "drvtirval2000n authors"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${PRODUCT}"
; The driver's main window, found while the driver runs.
!define MAIN_WINDOW_CLASS "drvtirval2000n.TForm1"
; The hidden window of a driver run with --no-window.
!define SERVICE_WINDOW_CLASS "drvtirval2000n.Service"
!define DRIVER_EXE "drvtirval2000n.exe"
!define SETTINGS_FILE "drvtirval2000n.ini"
!define GUIDE_FILE "OPERATOR_GUIDE.html"
!define SHORTCUT "${TITLE}.lnk"
!define GUIDE_SHORTCUT "Operator guide.lnk"
!define FOLDER_SHORTCUT "Working folder.lnk"
; BUILTIN\Users by its SID, which does not change with the language of Windows.
!define USERS_SID "*S-1-5-32-545"

Name "${PRODUCT}"
OutFile "${OUTFILE}"
BrandingText "${PRODUCT} ${VERSION}"
ShowInstDetails show
ShowUninstDetails show

!define MULTIUSER_EXECUTIONLEVEL Highest
!define MULTIUSER_MUI
!define MULTIUSER_INSTALLMODE_COMMANDLINE
!define MULTIUSER_USE_PROGRAMFILES64
!define MULTIUSER_INSTALLMODE_INSTDIR "${PRODUCT}"
; An upgrade goes into the folder and the mode of the installed copy.
!define MULTIUSER_INSTALLMODE_INSTDIR_REGISTRY_KEY "${UNINSTALL_KEY}"
!define MULTIUSER_INSTALLMODE_INSTDIR_REGISTRY_VALUENAME "InstallLocation"
!define MULTIUSER_INSTALLMODE_DEFAULT_REGISTRY_KEY "${UNINSTALL_KEY}"
!define MULTIUSER_INSTALLMODE_DEFAULT_REGISTRY_VALUENAME "InstallLocation"
!define MULTIUSER_INSTALLMODE_FUNCTION OnInstallMode
!define MULTIUSER_INSTALLMODEPAGE_CAPTION ": $(InstallModeCaption)"
!include MultiUser.nsh
!include MUI2.nsh
!include LogicLib.nsh
!include FileFunc.nsh
!include Sections.nsh

Var WorkDir
; The folder given with /D=, which the install mode's default must not replace.
Var CommandLineDir

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_ABORTWARNING
!define MUI_FINISHPAGE_TEXT "$(FinishText)"
!define MUI_FINISHPAGE_TEXT_LARGE
!define MUI_FINISHPAGE_SHOWREADME "$INSTDIR\${GUIDE_FILE}"
!define MUI_FINISHPAGE_SHOWREADME_TEXT "$(ShowGuide)"
!define MUI_FINISHPAGE_SHOWREADME_NOTCHECKED

; The pages between welcome and finish name themselves in the title bar ("drvtirval2000n Setup:
; License Agreement"), which the Modern UI leaves blank: the step shows in the taskbar too, and a
; test can tell the pages apart.
!macro PAGE_TITLE FUNCTION SUBCAPTION
  Function ${FUNCTION}
    SendMessage $HWNDPARENT ${WM_SETTEXT} 0 "STR:$(^SetupCaption)$(${SUBCAPTION})"
  FunctionEnd
!macroend
!insertmacro PAGE_TITLE LicenseTitle ^LicenseSubCaption
!insertmacro PAGE_TITLE ComponentsTitle ^ComponentsSubCaption
!insertmacro PAGE_TITLE DirectoryTitle ^DirSubCaption
!insertmacro PAGE_TITLE InstallingTitle ^InstallingSubCaption

!insertmacro MUI_PAGE_WELCOME
!define MUI_PAGE_CUSTOMFUNCTION_SHOW LicenseTitle
!insertmacro MUI_PAGE_LICENSE "${STAGING}/LICENSE.txt"
!insertmacro MULTIUSER_PAGE_INSTALLMODE
!define MUI_PAGE_CUSTOMFUNCTION_SHOW ComponentsTitle
!insertmacro MUI_PAGE_COMPONENTS
!define MUI_PAGE_CUSTOMFUNCTION_SHOW DirectoryTitle
!insertmacro MUI_PAGE_DIRECTORY
!define MUI_PAGE_CUSTOMFUNCTION_SHOW InstallingTitle
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES

!insertmacro MUI_LANGUAGE "English"
!insertmacro MUI_LANGUAGE "Russian"

LangString InstallModeCaption ${LANG_ENGLISH} "Installation Mode"
LangString InstallModeCaption ${LANG_RUSSIAN} "Режим установки"
LangString SecDriverName ${LANG_ENGLISH} "Driver"
LangString SecDriverName ${LANG_RUSSIAN} "Драйвер"
LangString SecDriverText ${LANG_ENGLISH} "The driver, its tools, the operator guide, Start menu entries and the working folder with the example settings."
LangString SecDriverText ${LANG_RUSSIAN} "Драйвер, его утилиты, руководство оператора, ярлыки в меню «Пуск» и рабочая папка с примером настроек."
LangString SecAutostartName ${LANG_ENGLISH} "Start at logon"
LangString SecAutostartName ${LANG_RUSSIAN} "Запуск при входе в систему"
LangString SecAutostartText ${LANG_ENGLISH} "Starts the driver in its working folder when a user logs on (a shortcut in the Startup folder)."
LangString SecAutostartText ${LANG_RUSSIAN} "Драйвер запускается в своей рабочей папке при входе пользователя в систему (ярлык в папке «Автозагрузка»)."
LangString DriverComment ${LANG_ENGLISH} "Takes alarms from the central receiving station and delivers them to the message server"
LangString DriverComment ${LANG_RUSSIAN} "Принимает тревоги от приёмной станции и передаёт их серверу сообщений"
LangString DriverRunning ${LANG_ENGLISH} "${TITLE} (${DRIVER_EXE}) is running. End it (its window with the close code, a driver without a window with taskkill or by ending its task), then run this program again."
LangString DriverRunning ${LANG_RUSSIAN} "${TITLE} (${DRIVER_EXE}) запущен. Закройте его (окно — с кодом закрытия, драйвер без окна — командой taskkill или завершением его задания) и запустите эту программу снова."
LangString FinishText ${LANG_ENGLISH} "$(^NameDA) is installed.$\r$\n$\r$\nThe settings file ${SETTINGS_FILE}, the spool and the logs are in the working folder$\r$\n$WorkDir$\r$\nwhere the Start menu entry starts the driver. Set the COM port and the message server there before the first start."
LangString FinishText ${LANG_RUSSIAN} "$(^NameDA) установлен.$\r$\n$\r$\nФайл настроек ${SETTINGS_FILE}, отложенные события и журналы находятся в рабочей папке$\r$\n$WorkDir$\r$\nв которой ярлык из меню «Пуск» запускает драйвер. Перед первым запуском укажите в настройках COM-порт и сервер сообщений."
LangString ShowGuide ${LANG_ENGLISH} "Open the operator guide"
LangString ShowGuide ${LANG_RUSSIAN} "Открыть руководство оператора (на английском)"

VIProductVersion ${VERSION4}
VIFileVersion ${VERSION4}
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "LegalCopyright" "${COPYRIGHT}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileDescription" "${PRODUCT} ${VERSION} setup"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileVersion" "${VERSION}"

Section "$(SecDriverName)" SecDriver
  SectionIn RO
  !include "${INSTALL_FILES}"
  SetOutPath "$INSTDIR"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  ; The working folder: the example settings only where there are none yet.
  CreateDirectory "$WorkDir\log"
  CreateDirectory "$WorkDir\spool"
  SetOutPath "$WorkDir"
  SetOverwrite off
  File "/oname=${SETTINGS_FILE}" "${STAGING}/drvtirval2000n.ini.example"
  SetOverwrite on
  ${If} $MultiUser.InstallMode == "AllUsers"
    ; ProgramData lets a user change only what that user made. Every user who runs the driver
    ; rewrites the settings (the chosen port) and deletes the spool files that another wrote.
    nsExec::ExecToLog '"$SYSDIR\icacls.exe" "$WorkDir" /grant ${USERS_SID}:(OI)(CI)M'
    Pop $0
    ${If} $0 != 0
      DetailPrint "icacls: $0"
    ${EndIf}
  ${EndIf}

  ; A shortcut's "Start in" is the output folder when it is made.
  SetOutPath "$WorkDir"
  CreateDirectory "$SMPROGRAMS\${PRODUCT}"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}\${SHORTCUT}" "$INSTDIR\${DRIVER_EXE}" "" \
      "$INSTDIR\${DRIVER_EXE}" 0 SW_SHOWNORMAL "" "$(DriverComment)"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}\${GUIDE_SHORTCUT}" "$INSTDIR\${GUIDE_FILE}"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}\${FOLDER_SHORTCUT}" "$WorkDir"

  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT} (${TITLE})"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\${DRIVER_EXE},0"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "UninstallString" \
      '"$INSTDIR\uninstall.exe" /$MultiUser.InstallMode'
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "QuietUninstallString" \
      '"$INSTDIR\uninstall.exe" /$MultiUser.InstallMode /S'
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  IntFmt $0 "0x%08X" $0
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "EstimatedSize" "$0"
SectionEnd

Section /o "$(SecAutostartName)" SecAutostart
  SetOutPath "$WorkDir"
  CreateShortcut "$SMSTARTUP\${SHORTCUT}" "$INSTDIR\${DRIVER_EXE}" "" \
      "$INSTDIR\${DRIVER_EXE}" 0 SW_SHOWNORMAL "" "$(DriverComment)"
SectionEnd

; An upgrade without "start at logon" takes the shortcut away.
Section "-RemoveAutostart"
  ${IfNot} ${SectionIsSelected} ${SecAutostart}
    Delete "$SMSTARTUP\${SHORTCUT}"
  ${EndIf}
SectionEnd

!insertmacro MUI_FUNCTION_DESCRIPTION_BEGIN
  !insertmacro MUI_DESCRIPTION_TEXT ${SecDriver} "$(SecDriverText)"
  !insertmacro MUI_DESCRIPTION_TEXT ${SecAutostart} "$(SecAutostartText)"
!insertmacro MUI_FUNCTION_DESCRIPTION_END

Section "Uninstall"
  !include "${UNINSTALL_FILES}"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  Delete "$SMPROGRAMS\${PRODUCT}\${SHORTCUT}"
  Delete "$SMPROGRAMS\${PRODUCT}\${GUIDE_SHORTCUT}"
  Delete "$SMPROGRAMS\${PRODUCT}\${FOLDER_SHORTCUT}"
  RMDir "$SMPROGRAMS\${PRODUCT}"
  Delete "$SMSTARTUP\${SHORTCUT}"
  DeleteRegKey SHCTX "${UNINSTALL_KEY}"
SectionEnd

; Called whenever the install mode is set: the working folder of the mode, and the program folder
; of /D= rather than the mode's default.
Function OnInstallMode
  ${If} $MultiUser.InstallMode == "AllUsers"
    GetKnownFolderPath $WorkDir {62AB5D82-FDC1-4DC3-A9DD-070D1D495D97} ; ProgramData
  ${Else}
    GetKnownFolderPath $WorkDir {F1B32785-6FBA-4FCF-9D55-7B8E7F157091} ; LocalAppData
  ${EndIf}
  StrCpy $WorkDir "$WorkDir\${PRODUCT}"
  ${If} $CommandLineDir != ""
    StrCpy $INSTDIR $CommandLineDir
  ${EndIf}
FunctionEnd

!macro RefuseWhileDriverRuns
  FindWindow $0 "${MAIN_WINDOW_CLASS}"
  ${If} $0 = 0
    FindWindow $0 "${SERVICE_WINDOW_CLASS}"
  ${EndIf}
  ; A driver of another session (a task started with the system) has no window here, but its
  ; program file cannot be opened for writing while it runs.
  ${If} $0 = 0
  ${AndIf} ${FileExists} "$INSTDIR\${DRIVER_EXE}"
    ClearErrors
    FileOpen $1 "$INSTDIR\${DRIVER_EXE}" a
    ${If} ${Errors}
      StrCpy $0 1
    ${Else}
      FileClose $1
    ${EndIf}
  ${EndIf}
  ${If} $0 <> 0
    MessageBox MB_OK|MB_ICONSTOP "$(DriverRunning)" /SD IDOK
    Abort
  ${EndIf}
!macroend

Function .onInit
  StrCpy $CommandLineDir $INSTDIR
  !insertmacro MULTIUSER_INIT
  !insertmacro RefuseWhileDriverRuns
  ; "Start at logon" when asked for, or when the installed copy has it.
  ${GetParameters} $0
  ClearErrors
  ${GetOptions} $0 "/AUTOSTART" $1
  ${IfNot} ${Errors}
  ${OrIf} ${FileExists} "$SMSTARTUP\${SHORTCUT}"
    !insertmacro SelectSection ${SecAutostart}
  ${EndIf}
FunctionEnd

Function un.onInit
  !insertmacro MULTIUSER_UNINIT
  !insertmacro RefuseWhileDriverRuns
FunctionEnd
