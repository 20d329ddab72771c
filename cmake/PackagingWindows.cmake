# The Windows packages, both from the same install rules: the programs, the example settings
# file and the licence with CR LF line ends, and the operator guide as an HTML page.
#   cd build-win && cpack -G ZIP    -> drvtirval2000n-<version>-win64.zip, the files at its top, for
#                                      unpacking into the folder where the driver is to run
#   cmake --build build-win         -> also drvtirval2000n-<version>-win64-setup.exe (NSIS), made
#                                      whenever makensis is there (cmake/WindowsInstaller.cmake)

set(drv_windows_docs ${CMAKE_BINARY_DIR}/windows-docs)
set(drv_example_settings ${drv_windows_docs}/drvtirval2000n.ini.example)
set(drv_license_text ${drv_windows_docs}/LICENSE.txt)
set(drv_guide_html ${drv_windows_docs}/OPERATOR_GUIDE.html)

# A text file of the source tree copied with CR LF line ends.
function(drv_windows_text source output)
  add_custom_command(
    OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -DINPUT=${PROJECT_SOURCE_DIR}/${source} -DOUTPUT=${output}
            -P ${PROJECT_SOURCE_DIR}/cmake/scripts/crlf_text.cmake
    DEPENDS ${PROJECT_SOURCE_DIR}/${source} ${PROJECT_SOURCE_DIR}/cmake/scripts/crlf_text.cmake
    VERBATIM)
endfunction()
drv_windows_text(packaging/drvtirval2000n.ini.example ${drv_example_settings})
drv_windows_text(LICENSE ${drv_license_text})

# cmark-gfm renders the guide's tables; plain cmark leaves them as text.
find_program(DRV_CMARK NAMES cmark-gfm cmark)
if(NOT DRV_CMARK)
  message(FATAL_ERROR "cmark-gfm (or cmark) is missing: scripts/setup installs it")
endif()
add_custom_command(
  OUTPUT ${drv_guide_html}
  COMMAND ${CMAKE_COMMAND} -DCMARK=${DRV_CMARK} -DINPUT=${PROJECT_SOURCE_DIR}/docs/OPERATOR_GUIDE.md
          -DOUTPUT=${drv_guide_html} "-DTITLE=drvtirval2000n ${PROJECT_VERSION}: operator guide"
          -P ${PROJECT_SOURCE_DIR}/cmake/scripts/guide_html.cmake
  DEPENDS ${PROJECT_SOURCE_DIR}/docs/OPERATOR_GUIDE.md
          ${PROJECT_SOURCE_DIR}/cmake/scripts/guide_html.cmake
  VERBATIM)
add_custom_target(drv_windows_docs ALL
                  DEPENDS ${drv_example_settings} ${drv_license_text} ${drv_guide_html})

install(FILES ${drv_example_settings} ${drv_license_text} ${drv_guide_html}
        DESTINATION ${DRV_INSTALL_BIN_DIR})

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME drvtirval2000n)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "drvtirval2000n authors")
set(CPACK_SYSTEM_NAME win64)
set(CPACK_PACKAGE_FILE_NAME ${DRV_WINDOWS_PACKAGE_NAME})
# No top folder: Explorer's "Extract All" makes a folder named for the zip already, and one who
# extracts into C:\drvtirval2000n finds the driver there, not a folder deeper.
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_STRIP_FILES ON)
include(CPack)

include(${CMAKE_CURRENT_LIST_DIR}/WindowsInstaller.cmake)
