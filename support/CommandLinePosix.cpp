#include "support/CommandLine.h"

namespace ks {

std::vector<std::string> CommandLineArguments(int argc, char** argv) {
    std::vector<std::string> arguments;
    for (int i = 0; i < argc && argv != nullptr && argv[i] != nullptr; ++i) {
        std::string argument(argv[i]);
        if (argument.size() > kMaxArgumentBytes) {
            argument.resize(kMaxArgumentBytes);
        }
        arguments.push_back(std::move(argument));
    }
    return arguments;
}

void UseUtf8Console() {}

}  // namespace ks
