# Files of a platform pair: FooPosix.cpp is built everywhere but on Windows, FooWin.cpp only on
# Windows.
function(ks_platform_sources out)
  set(_kept)
  foreach(f ${ARGN})
    get_filename_component(_stem ${f} NAME_WE)
    if(WIN32 AND _stem MATCHES "Posix$")
      continue()
    endif()
    if(NOT WIN32 AND _stem MATCHES "Win$")
      continue()
    endif()
    list(APPEND _kept ${f})
  endforeach()
  set(${out} ${_kept} PARENT_SCOPE)
endfunction()

# ks_folder_library(NAME DEPS...) builds every .cpp of the calling folder into a static library.
function(ks_folder_library name)
  file(GLOB _srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  ks_platform_sources(_srcs ${_srcs})
  if(_srcs)
    add_library(${name} STATIC ${_srcs})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} PUBLIC ${ARGN} Threads::Threads)
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} INTERFACE ${ARGN} Threads::Threads)
  endif()
endfunction()

# ks_test_folder(NAME LABELS DEPS...) builds every .cpp of the calling folder into one GoogleTest
# program and registers its tests with CTest under the given labels (a ;-list). Every test gets a
# TIMEOUT (KS_TEST_TIMEOUT seconds when the folder sets it, else 300): a hang is a named failure.
function(ks_test_folder name labels)
  find_package(GTest REQUIRED)
  file(GLOB _srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  add_executable(${name} ${_srcs})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PRIVATE ${ARGN} GTest::gtest GTest::gtest_main GTest::gmock Threads::Threads)
  target_compile_definitions(${name} PRIVATE KS_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
                                             KS_BINARY_DIR="${PROJECT_BINARY_DIR}")
  include(GoogleTest)
  # Labels go on the folder: a label list given through gtest_discover_tests' PROPERTIES is
  # flattened and only its first element survives.
  set_property(DIRECTORY APPEND PROPERTY LABELS ${labels})
  if(NOT DEFINED KS_TEST_TIMEOUT)
    set(KS_TEST_TIMEOUT 300)
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT ${KS_TEST_TIMEOUT})
endfunction()
