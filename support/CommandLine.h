// A console program's arguments and output, the same on every platform: arguments arrive as
// UTF-8 (on Windows read as UTF-16 from the command line, never through the ANSI code page) and
// UTF-8 written to the console shows as the text it spells.
#pragma once

#include <string>
#include <vector>

namespace ks {

// The program's arguments, argv[0] first, in UTF-8. On Windows they come from the UTF-16
// command line (the argc/argv given are used only when it cannot be split); elsewhere they are
// argv as given. Each argument is cut at kMaxArgumentBytes.
std::vector<std::string> CommandLineArguments(int argc, char** argv);
inline constexpr std::size_t kMaxArgumentBytes = 32 * 1024;

// argv-style pointers into `arguments` (which must outlive them), ending with a null pointer.
std::vector<char*> ArgumentPointers(std::vector<std::string>& arguments);

// Makes the console show UTF-8 output as text (Windows: the console's output code page becomes
// UTF-8; output to a file or pipe stays the UTF-8 bytes). Nothing to do elsewhere.
void UseUtf8Console();

}  // namespace ks
