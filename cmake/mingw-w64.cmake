# Cross build for 64-bit Windows with Debian's MinGW-w64 toolchain (g++-mingw-w64-x86-64-posix,
# whose POSIX thread model gives std::thread), tested under Wine:
#   cmake -S . -B build-win -G Ninja --toolchain cmake/mingw-w64.cmake -DDRV_WERROR=ON
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(DRV_MINGW_TRIPLET x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${DRV_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${DRV_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${DRV_MINGW_TRIPLET}-windres)
set(CMAKE_AR ${DRV_MINGW_TRIPLET}-gcc-ar-posix CACHE FILEPATH "Archiver")
set(CMAKE_RANLIB ${DRV_MINGW_TRIPLET}-gcc-ranlib-posix CACHE FILEPATH "Archive indexer")
set(CMAKE_STRIP ${DRV_MINGW_TRIPLET}-strip CACHE FILEPATH "Strip")

set(CMAKE_FIND_ROOT_PATH /usr/${DRV_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_OBJDUMP ${DRV_MINGW_TRIPLET}-objdump CACHE FILEPATH "Object dumper")
