// kdbtool's sub-commands. Each takes the arguments after its name and returns the exit code:
// 0 success, 1 failure, 2 usage error.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace kdbtool {

constexpr int kExitOk = 0;
constexpr int kExitFail = 1;
constexpr int kExitUsage = 2;

int RunCreate(const std::vector<std::string>& args);
int RunInfo(const std::vector<std::string>& args);
int RunAudit(const std::vector<std::string>& args);
int RunCarry(const std::vector<std::string>& args);
int RunPool(const std::vector<std::string>& args);
int RunReport(const std::vector<std::string>& args);
void PrintUsage(FILE* out);

}  // namespace kdbtool
