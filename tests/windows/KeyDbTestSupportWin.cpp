// The key database tests' helpers for the Windows test programs: programs run through
// CreateProcessW with their output read from pipes, scratch folders in the Wine prefix's (or
// the user's) temporary folder.
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <thread>

#include "keydb/Crc32.h"
#include "keydb/KeyFileFormat.h"
#include "support/WideText.h"
#include "tests/keydb/KeyDbTestSupport.h"

namespace keydbtest {

namespace {

std::wstring QuoteArgument(const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) {
        return arg;
    }
    std::wstring quoted = L"\"";
    std::size_t backslashes = 0;
    for (const wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, L'\\');
    return quoted + L"\"";
}

void Drain(HANDLE pipe, std::string* out) {
    char buffer[4096];
    DWORD n = 0;
    while (::ReadFile(pipe, buffer, sizeof buffer, &n, nullptr) && n > 0) {
        out->append(buffer, n);
    }
}

}  // namespace

ProgramResult RunProgram(const std::vector<std::string>& argv) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE outRead = nullptr;
    HANDLE outWrite = nullptr;
    HANDLE errRead = nullptr;
    HANDLE errWrite = nullptr;
    if (!::CreatePipe(&outRead, &outWrite, &inherit, 0) ||
        !::CreatePipe(&errRead, &errWrite, &inherit, 0)) {
        throw std::runtime_error("CreatePipe failed");
    }
    ::SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    ::SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);
    std::wstring command;
    for (const std::string& arg : argv) {
        command += (command.empty() ? L"" : L" ") + QuoteArgument(ks::WideFromUtf8(arg));
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = outWrite;
    startup.hStdError = errWrite;
    PROCESS_INFORMATION process{};
    const BOOL started = ::CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0,
                                          nullptr, nullptr, &startup, &process);
    ::CloseHandle(outWrite);
    ::CloseHandle(errWrite);
    ProgramResult result;
    if (started) {
        std::thread errReader(Drain, errRead, &result.err);
        Drain(outRead, &result.out);
        errReader.join();
        ::WaitForSingleObject(process.hProcess, INFINITE);
        DWORD code = 0;
        ::GetExitCodeProcess(process.hProcess, &code);
        result.exitCode = static_cast<int>(code);
        ::CloseHandle(process.hThread);
        ::CloseHandle(process.hProcess);
    } else {
        result.exitCode = 127;
    }
    ::CloseHandle(outRead);
    ::CloseHandle(errRead);
    return result;
}

ProgramResult RunKdbtool(const std::vector<std::string>& args) {
    std::vector<std::string> argv{KS_KDBTOOL};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProgram(argv);
}

TempDir::TempDir() {
    wchar_t base[MAX_PATH + 1] = {};
    const DWORD n = ::GetTempPathW(MAX_PATH + 1, base);
    if (n == 0 || n > MAX_PATH) {
        throw std::runtime_error("GetTempPathW failed");
    }
    std::mt19937_64 rng(::GetTickCount64() ^ ::GetCurrentProcessId());
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string candidate = ks::Utf8FromWide(std::wstring_view(base, n)) +
                                      "ks-keydb-test-" + std::to_string(rng() % 1000000000);
        if (::CreateDirectoryW(ks::WidePath(candidate).c_str(), nullptr)) {
            path_ = candidate;
            return;
        }
    }
    throw std::runtime_error("cannot create a scratch folder");
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(ks::WidePath(path_), ec);
}

std::vector<uint8_t> ReadBytes(const std::string& path) {
    std::ifstream in(std::filesystem::path(ks::WidePath(path)), std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + path);
    }
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(std::filesystem::path(ks::WidePath(path)),
                      std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
}

void Reseal(std::vector<uint8_t>* image) {
    const uint32_t h = kdb::LoadLe16(image->data() + kdb::kOffHeaderSize);
    kdb::StoreLe32(image->data() + h - 4, CalcCrc32(image->data(), h - 4));
}

std::vector<uint8_t> PatternBytes(size_t size, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> bytes(size);
    for (uint8_t& b : bytes) {
        b = static_cast<uint8_t>(rng());
    }
    return bytes;
}

void CapturingLogger::Print(int level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    VPrint(level, format, args);
    va_end(args);
}

void CapturingLogger::VPrint(int, const char* format, va_list args) {
    char text[2048];
    std::vsnprintf(text, sizeof(text), format, args);
    lines.emplace_back(text);
}

}  // namespace keydbtest
