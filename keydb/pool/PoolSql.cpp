#include "keydb/pool/PoolSql.h"

#include <algorithm>
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

bool BinaryArray(const PGresult* result, int row, int field, std::vector<ArrayItem>* out) {
    out->clear();
    if (result == nullptr || PQgetisnull(result, row, field) != 0 ||
        PQfformat(result, field) != 1) {
        return false;
    }
    const auto* at = reinterpret_cast<const uint8_t*>(PQgetvalue(result, row, field));
    size_t left = static_cast<size_t>(std::max(PQgetlength(result, row, field), 0));
    auto int32 = [&](int64_t* value) {
        if (left < 4) {
            return false;
        }
        *value = static_cast<int32_t>(static_cast<uint32_t>(at[0]) << 24 |
                                      static_cast<uint32_t>(at[1]) << 16 |
                                      static_cast<uint32_t>(at[2]) << 8 | at[3]);
        at += 4;
        left -= 4;
        return true;
    };
    // Dimensions, a NULL flag, the element type; then per dimension its size and lower bound.
    int64_t dims = 0;
    int64_t flags = 0;
    int64_t type = 0;
    int64_t count = 0;
    int64_t lower = 0;
    if (!int32(&dims) || !int32(&flags) || !int32(&type) || dims < 0 || dims > 1) {
        return false;
    }
    if (dims == 1 && (!int32(&count) || !int32(&lower) || count < 0 || count > 4096)) {
        return false;
    }
    for (int64_t i = 0; i < count; ++i) {
        int64_t length = 0;
        if (!int32(&length) || length < -1 ||
            static_cast<uint64_t>(std::max<int64_t>(length, 0)) > left) {
            out->clear();
            return false;
        }
        out->push_back({reinterpret_cast<const char*>(at), static_cast<int>(length)});
        if (length > 0) {
            at += length;
            left -= static_cast<size_t>(length);
        }
    }
    return left == 0;
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
