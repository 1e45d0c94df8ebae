# KS_FUZZ builds the libFuzzer targets of tests/fuzz. It needs clang; the whole tree is then
# compiled with coverage instrumentation for the fuzzers and, unless KS_SANITIZE says otherwise,
# with AddressSanitizer + UndefinedBehaviorSanitizer, so that one build serves both the fuzzers
# and the unit tests.
if(KS_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "KS_FUZZ needs clang (configure with CC=clang CXX=clang++)")
  endif()
  if(NOT KS_SANITIZE)
    set(KS_SANITIZE "address;undefined")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link)
  # Seconds each fuzzer runs under the CTest label "fuzz".
  set(KS_FUZZ_SECONDS 20 CACHE STRING "Seconds per fuzz target in the CTest label 'fuzz'")
endif()
