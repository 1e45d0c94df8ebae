// Test sources shared with the Linux build include <sys/wait.h> for helpers that run Linux tools
// (sfdisk, fork); the Windows test programs leave out the tests that use them (see
// tests/windows/CMakeLists.txt) and only need the status macros to compile.
#pragma once

#define WIFEXITED(status) (((status)&0xFF) == 0)
#define WEXITSTATUS(status) (((status) >> 8) & 0xFF)
