# The Windows zip: the driver, the command-line tools, the example settings file, the operator
# guide and the licence, all in one folder that a centre unpacks where the driver is to run.
#   cd build-win && cpack -G ZIP      -> drvtirval2000n-<version>-win64.zip

install(FILES ${PROJECT_SOURCE_DIR}/packaging/drvtirval2000n.ini.example
              ${PROJECT_SOURCE_DIR}/docs/OPERATOR_GUIDE.md
        DESTINATION ${DRV_INSTALL_BIN_DIR})
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${DRV_INSTALL_BIN_DIR} RENAME LICENSE.txt)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME drvtirval2000n)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "drvtirval2000n authors")
set(CPACK_SYSTEM_NAME win64)
set(CPACK_PACKAGE_FILE_NAME drvtirval2000n-${PROJECT_VERSION}-win64)
# One top folder of the same name, so that unpacking does not spill files.
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
