# Cross-building the Windows station on Debian with MinGW-w64 (package g++-mingw-w64-x86-64-posix:
# the posix thread flavour, which std::thread needs). Use with
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/MinGW-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_ks_triple x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${_ks_triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_ks_triple}-g++-posix)
set(CMAKE_RC_COMPILER ${_ks_triple}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${_ks_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The programs run on a bare Windows: the C++ runtime, libgcc and winpthreads are linked in.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Test programs run under Wine in a prefix inside the build folder (cmake/WineRun.sh).
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/WineRun.sh)
