# Windows builds (the MinGW-w64 cross toolchain, cmake/mingw-w64.cmake): the lean form of the
# system headers, programs linked statically so that they need no DLL but the system's, a version
# resource per program, and Wine to run what the build made.

# Windows 7 and later; windows.h without min/max macros and without the old winsock.h.
add_compile_definitions(NOMINMAX WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0601)
# The C++ runtime, libgcc and winpthread go into each program.
add_link_options(-static -static-libgcc -static-libstdc++)
# Resource scripts are UTF-8.
set(CMAKE_RC_FLAGS "${CMAKE_RC_FLAGS} -c 65001")
enable_language(RC)

# Where the zip puts the programs: beside the settings file.
set(DRV_INSTALL_BIN_DIR .)
# The zip is <name>.zip, the installer <name>-setup.exe.
set(DRV_WINDOWS_PACKAGE_NAME drvtirval2000n-${PROJECT_VERSION}-win64)

# Programs built here run under Wine in a prefix of the build's own, made on first use
# (scripts/setup installs wine). Tests run through it as the cross-compiling emulator.
if(CMAKE_CROSSCOMPILING)
  find_program(DRV_WINE wine)
  find_program(DRV_WINESERVER wineserver)
  if(DRV_WINE AND DRV_WINESERVER)
    set(DRV_WINE_PREFIX ${CMAKE_BINARY_DIR}/wineprefix CACHE PATH "Wine prefix for the tests")
    configure_file(${CMAKE_CURRENT_LIST_DIR}/wine-run.in ${CMAKE_BINARY_DIR}/wine-run @ONLY
                   FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
                   GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run)
  else()
    message(WARNING "wine is missing (scripts/setup installs it): the tests cannot run")
    set(DRV_WINE "")
  endif()
endif()
