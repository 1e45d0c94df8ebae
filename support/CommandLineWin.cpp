#include <windows.h>
// shellapi.h needs windows.h first.
#include <shellapi.h>

#include "support/CommandLine.h"
#include "support/WideText.h"

namespace ks {

std::vector<std::string> CommandLineArguments(int argc, char** argv) {
    std::vector<std::string> arguments;
    int count = 0;
    LPWSTR* wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    if (wide != nullptr) {
        for (int i = 0; i < count; ++i) {
            std::string argument = Utf8FromWide(wide[i]);
            if (argument.size() > kMaxArgumentBytes) {
                argument.resize(kMaxArgumentBytes);
            }
            arguments.push_back(std::move(argument));
        }
        ::LocalFree(wide);
        return arguments;
    }
    for (int i = 0; i < argc && argv != nullptr && argv[i] != nullptr; ++i) {
        arguments.emplace_back(argv[i]);
    }
    return arguments;
}

void UseUtf8Console() {
    ::SetConsoleOutputCP(CP_UTF8);
    ::SetConsoleCP(CP_UTF8);
}

}  // namespace ks
