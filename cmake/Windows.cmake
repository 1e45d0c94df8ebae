# Settings of the Windows build (cross-built with MinGW-w64, tests run under Wine).

# Windows 7 API level and Unicode; no min/max macros, no winsock 1 from <windows.h>. The C
# library's printf family with C99 formats (%zu, %lld), and its localtime_r.
add_compile_definitions(_WIN32_WINNT=0x0601 WINVER=0x0601 UNICODE _UNICODE NOMINMAX
                        WIN32_LEAN_AND_MEAN __USE_MINGW_ANSI_STDIO=1
                        _POSIX_THREAD_SAFE_FUNCTIONS=200112L)

# GCC 12 reports string copies inside its own headers at -O3 as overlapping (a false positive
# that the MinGW build meets in several files).
add_compile_options(-Wno-restrict)

# Packages found through the Debian host's headers: the cross tree has no CMake configs for them.
# A redirect file answers find_package before any search.
set(_ks_redirect ${CMAKE_FIND_PACKAGE_REDIRECTS_DIR})

# nlohmann/json is header-only; only its folder is exposed, never the host's /usr/include.
set(_ks_json_root ${CMAKE_BINARY_DIR}/win-host-headers)
file(MAKE_DIRECTORY ${_ks_json_root})
file(CREATE_LINK /usr/include/nlohmann ${_ks_json_root}/nlohmann SYMBOLIC)
file(WRITE ${_ks_redirect}/nlohmann_json-config.cmake
     "if(NOT TARGET nlohmann_json::nlohmann_json)
  add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
  set_target_properties(nlohmann_json::nlohmann_json PROPERTIES
                        INTERFACE_INCLUDE_DIRECTORIES ${_ks_json_root})
endif()
set(nlohmann_json_VERSION 3.11.2)\n")
file(WRITE ${_ks_redirect}/nlohmann_json-config-version.cmake
     "set(PACKAGE_VERSION 3.11.2)\nset(PACKAGE_VERSION_COMPATIBLE TRUE)\n")

# GoogleTest is built from the sources of Debian's googletest package.
set(KS_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources (package googletest)")
if(EXISTS ${KS_GOOGLETEST_SOURCE}/CMakeLists.txt)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
  add_subdirectory(${KS_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL
                   SYSTEM)
  file(WRITE ${_ks_redirect}/GTest-config.cmake "set(GTest_FOUND TRUE)\n")
endif()
