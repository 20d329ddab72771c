# cmake -DBUILD_DIR=<build> -DWORK_DIR=<dir> -DMAKENSIS=<makensis> -DSCRIPT=<.nsi>
#       -DOUTPUT=<setup.exe> -DVERSION=<x.y.z.w> -DVERSION4=<x.y.z.w> -DICON=<.ico>
#       -DCOPYRIGHT=<text> -P make_installer.cmake
# Installs the build (stripped, as the zip has it) into WORK_DIR/files, writes the lists of those
# files that the installer puts in place and the uninstaller deletes, and runs makensis.
set(staging ${WORK_DIR}/files)
file(REMOVE_RECURSE ${WORK_DIR})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${staging} --strip
                OUTPUT_VARIABLE output ERROR_VARIABLE output RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cmake --install failed:\n${output}")
endif()

# Folder by folder: SetOutPath and File lines to install; Delete lines, then RMDir from the
# deepest folder up, to uninstall. Only these files go: whatever else is in the folder stays.
file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE ${staging} ${staging}/*)
list(SORT files)
set(install_lines "")
set(uninstall_lines "")
set(folders "")
set(current_folder "-")
foreach(file IN LISTS files)
  get_filename_component(folder "${file}" DIRECTORY)
  string(REPLACE "/" "\\" windows_file "${file}")
  string(REPLACE "/" "\\" windows_folder "${folder}")
  if(NOT folder STREQUAL current_folder)
    if(folder STREQUAL "")
      string(APPEND install_lines "SetOutPath \"$INSTDIR\"\n")
    else()
      string(APPEND install_lines "SetOutPath \"$INSTDIR\\${windows_folder}\"\n")
      list(APPEND folders "${windows_folder}")
    endif()
    set(current_folder "${folder}")
  endif()
  string(APPEND install_lines "File \"${staging}/${file}\"\n")
  string(APPEND uninstall_lines "Delete \"$INSTDIR\\${windows_file}\"\n")
endforeach()
list(SORT folders)
list(REVERSE folders)
foreach(folder IN LISTS folders)
  string(APPEND uninstall_lines "RMDir \"$INSTDIR\\${folder}\"\n")
endforeach()
file(WRITE ${WORK_DIR}/install_files.nsh "${install_lines}")
file(WRITE ${WORK_DIR}/uninstall_files.nsh "${uninstall_lines}")

execute_process(
  COMMAND ${MAKENSIS} -V2 -INPUTCHARSET UTF8 -DVERSION=${VERSION} -DVERSION4=${VERSION4}
          -DSTAGING=${staging} -DICON=${ICON} -DCOPYRIGHT=${COPYRIGHT}
          -DINSTALL_FILES=${WORK_DIR}/install_files.nsh
          -DUNINSTALL_FILES=${WORK_DIR}/uninstall_files.nsh -DOUTFILE=${OUTPUT} ${SCRIPT}
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  file(REMOVE ${OUTPUT})
  message(FATAL_ERROR "makensis failed (status ${status})")
endif()
