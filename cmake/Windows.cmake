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

# The key pool's client: libpq and OpenSSL cross-built from Debian's source packages into a
# cache outside the clone (scripts/windows-deps.sh, which scripts/windows.sh runs and passes the
# prefix of here). Linked statically (libpq_static.a: libpq's own objects; PostgreSQL's libpq.a
# is the DLL's import library), so the programs need no DLL beside them. Without it the pool
# refuses to load on Windows with its reason (keydb/pool/unavailable/KeyPoolUnavailable.cpp).
set(KS_WIN_PQ_PREFIX "" CACHE PATH "libpq and OpenSSL for MinGW (scripts/windows-deps.sh)")
set(KS_WIN_KEY_POOL OFF)
if(KS_WIN_PQ_PREFIX AND EXISTS ${KS_WIN_PQ_PREFIX}/lib/libpq_static.a)
  set(_p ${KS_WIN_PQ_PREFIX})
  # CMake's FindPostgreSQL takes these and keeps the target made here, which carries what the
  # static libpq needs besides itself.
  set(PostgreSQL_INCLUDE_DIR ${_p}/include CACHE PATH "" FORCE)
  set(PostgreSQL_TYPE_INCLUDE_DIR ${_p}/include CACHE PATH "" FORCE)
  set(PostgreSQL_LIBRARY ${_p}/lib/libpq_static.a CACHE FILEPATH "" FORCE)
  add_library(PostgreSQL::PostgreSQL INTERFACE IMPORTED GLOBAL)
  set_target_properties(PostgreSQL::PostgreSQL PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES ${_p}/include
    INTERFACE_LINK_LIBRARIES
      "${_p}/lib/libpq_static.a;${_p}/lib/libpgcommon_shlib.a;${_p}/lib/libpgport_shlib.a;${_p}/lib/libssl.a;${_p}/lib/libcrypto.a;ws2_32;secur32;crypt32;wldap32;bcrypt;user32;advapi32")
  # The same OpenSSL for the pool's own use (AES-GCM, random bytes): FindOpenSSL takes these
  # and keeps the target made here (the toolchain's find root would not look in the cache).
  set(OPENSSL_INCLUDE_DIR ${_p}/include CACHE PATH "" FORCE)
  set(OPENSSL_CRYPTO_LIBRARY ${_p}/lib/libcrypto.a CACHE FILEPATH "" FORCE)
  set(OPENSSL_SSL_LIBRARY ${_p}/lib/libssl.a CACHE FILEPATH "" FORCE)
  set(LIB_EAY ${_p}/lib/libcrypto.a CACHE FILEPATH "" FORCE)  # its names under MinGW
  set(SSL_EAY ${_p}/lib/libssl.a CACHE FILEPATH "" FORCE)
  add_library(OpenSSL::Crypto INTERFACE IMPORTED GLOBAL)
  set_target_properties(OpenSSL::Crypto PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES ${_p}/include
    INTERFACE_LINK_LIBRARIES "${_p}/lib/libcrypto.a;ws2_32;crypt32;bcrypt;user32;advapi32")
  set(KS_WIN_KEY_POOL ON)
  message(STATUS "Key pool client: ${KS_WIN_PQ_PREFIX}")
endif()
