# Debian package: the driver, the command-line tools (their own install rules), their manual
# pages, the desktop entry with its launcher, the logon entry, the icon, the service unit with
# its user and directories, the example settings file, the operator guide, the copyright file,
# the changelog and the lintian overrides.
#   cd build && cpack -G DEB

# The programs in usr/bin; a build without the Qt window has no driver.
set(DRV_PACKAGE_PROGRAMS drvtirval2000n drvtirval-station drvtirval-server drvtirval-decode
    drvtirval-spool)

# The maintainer field asks for a mail address and the project has none: .invalid says so (it
# never resolves). Whoever ships the package to a centre sets their own.
set(DRV_PACKAGE_MAINTAINER "drvtirval2000n authors <authors@drvtirval2000n.invalid>" CACHE STRING
    "Maintainer field of the Debian package and of its changelog entry")

# One date for the changelog entry and the manual pages, so that two builds of one commit make the
# same files: SOURCE_DATE_EPOCH when the builder sets it, else the last commit's, else now.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(DRV_SOURCE_DATE_EPOCH "$ENV{SOURCE_DATE_EPOCH}")
else()
  find_package(Git QUIET)
  if(GIT_FOUND)
    execute_process(COMMAND ${GIT_EXECUTABLE} log -1 --format=%ct
                    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                    OUTPUT_VARIABLE DRV_SOURCE_DATE_EPOCH OUTPUT_STRIP_TRAILING_WHITESPACE
                    RESULT_VARIABLE drv_git_result ERROR_QUIET)
  endif()
  if(NOT drv_git_result EQUAL 0 OR NOT DRV_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
    string(TIMESTAMP DRV_SOURCE_DATE_EPOCH "%s" UTC)
  endif()
endif()
if(NOT DRV_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
  message(FATAL_ERROR "SOURCE_DATE_EPOCH must be seconds since 1970: '${DRV_SOURCE_DATE_EPOCH}'")
endif()

include(${CMAKE_CURRENT_LIST_DIR}/ManPages.cmake)

# The icon's pictures are drawn with the window's other pictures; DRV_ICON_DIR holds them as
# driver_icon_<size>.png (and driver_icon.svg when there is a scalable one).
set(DRV_ICON_DIR "${PROJECT_SOURCE_DIR}/ui/resources" CACHE PATH
    "Directory holding the driver's icon as driver_icon_<size>.png")

install(FILES ${PROJECT_SOURCE_DIR}/packaging/drvtirval2000n.desktop
        DESTINATION share/applications)
# The menu entry starts the driver through a launcher that prepares the operator's working folder
# on the first start; the logon entry does the same and is enabled by copying it into
# ~/.config/autostart (or /etc/xdg/autostart for everyone): nothing starts at logon by itself.
install(PROGRAMS ${PROJECT_SOURCE_DIR}/packaging/drvtirval2000n-start
        DESTINATION libexec/drvtirval2000n)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/drvtirval2000n-autostart.desktop
        DESTINATION share/drvtirval2000n/autostart RENAME drvtirval2000n.desktop)
set(drv_icon_found OFF)
foreach(size 16 32 48 64 128 256)
  if(EXISTS ${DRV_ICON_DIR}/driver_icon_${size}.png)
    install(FILES ${DRV_ICON_DIR}/driver_icon_${size}.png
            DESTINATION share/icons/hicolor/${size}x${size}/apps RENAME drvtirval2000n.png)
    set(drv_icon_found ON)
  endif()
endforeach()
if(EXISTS ${DRV_ICON_DIR}/driver_icon.svg)
  install(FILES ${DRV_ICON_DIR}/driver_icon.svg
          DESTINATION share/icons/hicolor/scalable/apps RENAME drvtirval2000n.svg)
  set(drv_icon_found ON)
endif()
if(NOT drv_icon_found)
  message(WARNING "No driver_icon_<size>.png in ${DRV_ICON_DIR}: the package has no icon")
endif()
# The service: a template unit, one instance per station; the user it runs as and the directory
# of the health files. Units go where Debian 12's systemd and lintian expect them.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/drvtirval2000n@.service
        DESTINATION /lib/systemd/system)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/drvtirval2000n.sysusers
        DESTINATION lib/sysusers.d RENAME drvtirval2000n.conf)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/drvtirval2000n.tmpfiles
        DESTINATION lib/tmpfiles.d RENAME drvtirval2000n.conf)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/postinst
    ${PROJECT_SOURCE_DIR}/packaging/prerm ${PROJECT_SOURCE_DIR}/packaging/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

install(FILES ${PROJECT_SOURCE_DIR}/packaging/drvtirval2000n.ini.example
              ${PROJECT_SOURCE_DIR}/docs/OPERATOR_GUIDE.md
        DESTINATION share/doc/drvtirval2000n)

# The copyright file in Debian's machine-readable format, made from LICENSE: its "Copyright" line
# and the licence text after it.
file(READ ${PROJECT_SOURCE_DIR}/LICENSE drv_license)
if(NOT drv_license MATCHES "\nCopyright ([^\n]+)\n+(.*[^\n])\n*$")
  message(FATAL_ERROR "LICENSE has no 'Copyright' line followed by the licence text")
endif()
set(DRV_COPYRIGHT "${CMAKE_MATCH_1}")
# A field's continuation lines start with a blank; an empty line is written " .".
string(REGEX REPLACE "\n\n" "\n.\n" DRV_LICENSE_TEXT "${CMAKE_MATCH_2}")
string(REPLACE "\n" "\n " DRV_LICENSE_TEXT " ${DRV_LICENSE_TEXT}")
set(drv_doc_dir ${CMAKE_BINARY_DIR}/packaging)
configure_file(${PROJECT_SOURCE_DIR}/packaging/copyright.in ${drv_doc_dir}/copyright @ONLY)

# A native package's changelog: one entry for this version, dated DRV_SOURCE_DATE_EPOCH in the
# RFC 5322 form that Debian changelogs use, without the locale's names of days and months.
# string(TIMESTAMP) formats the time in SOURCE_DATE_EPOCH when it is set.
set(drv_builder_epoch "$ENV{SOURCE_DATE_EPOCH}")
set(ENV{SOURCE_DATE_EPOCH} ${DRV_SOURCE_DATE_EPOCH})
string(TIMESTAMP drv_weekday "%w" UTC)
string(TIMESTAMP drv_month "%m" UTC)
string(TIMESTAMP drv_day_time "%d @ %Y %H:%M:%S +0000" UTC)
set(ENV{SOURCE_DATE_EPOCH} "${drv_builder_epoch}")
set(drv_weekdays Sun Mon Tue Wed Thu Fri Sat)
list(GET drv_weekdays ${drv_weekday} drv_weekday)
string(REGEX REPLACE "^0" "" drv_month "${drv_month}")
math(EXPR drv_month "${drv_month} - 1")
set(drv_months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
list(GET drv_months ${drv_month} drv_month)
string(REPLACE "@" "${drv_month}" DRV_CHANGELOG_DATE "${drv_weekday}, ${drv_day_time}")
configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog.in ${drv_doc_dir}/changelog @ONLY)
# -n: no name or time stamp in the gzip header, so that the same text gives the same bytes.
find_program(DRV_GZIP gzip REQUIRED)
execute_process(COMMAND ${DRV_GZIP} -9nc INPUT_FILE ${drv_doc_dir}/changelog
                OUTPUT_FILE ${drv_doc_dir}/changelog.gz COMMAND_ERROR_IS_FATAL ANY)
install(FILES ${drv_doc_dir}/copyright ${drv_doc_dir}/changelog.gz
        DESTINATION share/doc/drvtirval2000n)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/drvtirval2000n.lintian-overrides
        DESTINATION share/lintian/overrides RENAME drvtirval2000n)

# Stripped as Debian's dh_strip does: the compilers' .comment and .note sections go too.
if(CMAKE_STRIP)
  set(drv_program_files "")
  foreach(program IN LISTS DRV_PACKAGE_PROGRAMS)
    if(TARGET ${program})
      list(APPEND drv_program_files "$<TARGET_FILE_NAME:${program}>")
    endif()
  endforeach()
  install(CODE "set(drv_strip \"${CMAKE_STRIP}\")\nset(drv_program_files \"${drv_program_files}\")")
  install(CODE [[
    if(CMAKE_INSTALL_DO_STRIP)
      foreach(program IN LISTS drv_program_files)
        execute_process(COMMAND ${drv_strip} --remove-section=.comment --remove-section=.note
                                "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/bin/${program}"
                        COMMAND_ERROR_IS_FATAL ANY)
      endforeach()
    endif()
  ]])
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME drvtirval2000n)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "drvtirval2000n authors")
set(CPACK_PACKAGE_CONTACT "${DRV_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Receiving-station driver of a security-monitoring centre")
# The summary above is the first line of the package's description; this is the rest, in lines
# that fit a terminal of 80 columns.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "drvtirval2000n answers every frame of a central receiving station on a
serial line with a reply byte, decodes the alarms it carries into 27-byte
event records and delivers them to the monitoring complex's message server
over TCP. While the server cannot take them, the records are spooled to
disk and sent later.

The package also holds the service tools drvtirval-station (a station
simulator), drvtirval-server (a message-server simulator), drvtirval-decode
and drvtirval-spool.")
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
# The library dependencies are read from the binaries when dpkg-shlibdeps (dpkg-dev) is there.
find_program(DRV_DPKG_SHLIBDEPS dpkg-shlibdeps)
# The maintainer scripts make the service's user with systemd-sysusers.
set(drv_sysusers_depends "systemd | systemd-standalone-sysusers | systemd-sysusers")
if(DRV_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "${drv_sysusers_depends}")
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS
      "libqt6widgets6, libqt6gui6, libqt6core6, libsystemd0, libstdc++6, libc6, ${drv_sysusers_depends}")
endif()
include(CPack)
