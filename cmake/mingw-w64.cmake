# Builds for 64-bit Windows on Linux with MinGW-w64's GCC, posix thread model (Debian:
# g++-mingw-w64-x86-64-posix), against a Qt built for MinGW-w64:
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
#       -DCMAKE_PREFIX_PATH=/path/to/qt5-mingw -DCMAKE_BUILD_TYPE=Release
# Libraries and CMake packages are looked for only in the MinGW-w64 tree and in the folders of
# CMAKE_PREFIX_PATH, never in the Linux system's, so a missing Windows Qt fails at configure
# instead of picking up Linux's Qt. Programs (moc, uic, rcc) run here and come from the host.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(RW47HN_MINGW_TRIPLET x86_64-w64-mingw32)
# The posix thread model: std::thread and std::mutex come from winpthreads, which the
# win32 model of GCC 12 does not have.
set(CMAKE_C_COMPILER ${RW47HN_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${RW47HN_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${RW47HN_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${RW47HN_MINGW_TRIPLET} ${CMAKE_PREFIX_PATH})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
