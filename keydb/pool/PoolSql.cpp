#include "keydb/pool/PoolSql.h"

#include <cstring>

namespace pool {

namespace {

std::string FirstLine(const char* text) {
    if (text == nullptr) {
        return "no message";
    }
    std::string line(text, strnlen(text, 512));
    const size_t end = line.find('\n');
    if (end != std::string::npos) {
        line.resize(end);
    }
    return line.empty() ? "no message" : line;
}

}  // namespace

std::string Result::Error(const PGconn* conn) const {
    if (result_ != nullptr) {
        const char* message = PQresultErrorMessage(result_);
        if (message != nullptr && message[0] != '\0') {
            return FirstLine(message);
        }
    }
    return ConnError(conn);
}

std::string ConnError(const PGconn* conn) {
    return conn == nullptr ? "out of memory" : FirstLine(PQerrorMessage(conn));
}

bool BinaryInt(const PGresult* result, int row, int field, int64_t* out) {
    if (result == nullptr || PQgetisnull(result, row, field) != 0 ||
        PQfformat(result, field) != 1) {
        return false;
    }
    const int length = PQgetlength(result, row, field);
    if (length != 2 && length != 4 && length != 8) {
        return false;
    }
    const auto* bytes = reinterpret_cast<const uint8_t*>(PQgetvalue(result, row, field));
    uint64_t value = 0;
    for (int i = 0; i < length; ++i) {
        value = (value << 8) | bytes[i];
    }
    const int shift = 64 - 8 * length;  // sign-extend
    *out = static_cast<int64_t>(value << shift) >> shift;
    return true;
}

bool IsValidPoolName(const std::string& name) {
    if (name.empty() || name.size() > 64) {
        return false;
    }
    for (const char c : name) {
        const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                        (c >= '0' && c <= '9') || c == '_' || c == '.' || c == '-';
        if (!ok) {
            return false;
        }
    }
    return true;
}

}  // namespace pool
