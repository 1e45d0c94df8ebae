// Shared helpers of the key database tests: temporary folders, running kdbtool, raw files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/Logger.h"

namespace keydbtest {

struct ProgramResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// Runs a program (no shell) and collects its exit code and output.
ProgramResult RunProgram(const std::vector<std::string>& argv);
// Runs the kdbtool built with this tree.
ProgramResult RunKdbtool(const std::vector<std::string>& args);

// A fresh folder, removed with everything in it at destruction.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

std::vector<uint8_t> ReadBytes(const std::string& path);
void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes);
// Recomputes the header CRC of a file image in place (header size from bytes 4-5).
void Reseal(std::vector<uint8_t>* image);
// Deterministic pseudo-random bytes.
std::vector<uint8_t> PatternBytes(size_t size, uint32_t seed);

// Collects every printed line.
class CapturingLogger final : public CLoggerBase {
  public:
    void Print(int level, const char* format, ...) override KS_PRINTF_LIKE(3, 4);
    void VPrint(int level, const char* format, va_list args) override KS_PRINTF_LIKE(3, 0);
    void SetLevel(int) override {}
    std::vector<std::string> lines;
};

}  // namespace keydbtest
