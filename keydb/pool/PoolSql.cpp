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

namespace {

uint32_t Be32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

}  // namespace

bool BinaryArray(const PGresult* result, int row, int field, size_t most,
                 std::vector<ArrayItem>* out) {
    out->clear();
    if (result == nullptr || PQgetisnull(result, row, field) != 0 ||
        PQfformat(result, field) != 1) {
        return false;
    }
    const auto* p = reinterpret_cast<const uint8_t*>(PQgetvalue(result, row, field));
    const size_t length = static_cast<size_t>(PQgetlength(result, row, field));
    // Dimensions, a NULL flag, the element type; then size and lower bound per dimension.
    if (length < 12) {
        return false;
    }
    const uint32_t dims = Be32(p);
    if (dims == 0) {
        return true;
    }
    if (dims != 1 || length < 20) {
        return false;
    }
    const uint32_t count = Be32(p + 12);
    if (count > most) {
        return false;
    }
    size_t at = 20;
    for (uint32_t i = 0; i < count; ++i) {
        if (length - at < 4) {
            return false;
        }
        const uint32_t size = Be32(p + at);
        at += 4;
        ArrayItem item;
        if (size != 0xFFFFFFFFu) {
            if (size > length - at) {
                return false;
            }
            item.data = reinterpret_cast<const char*>(p + at);
            item.length = static_cast<int>(size);
            at += size;
        }
        out->push_back(item);
    }
    return at == length;
}

bool ItemInt(const ArrayItem& item, int64_t* out) {
    if (item.data == nullptr || item.length != 4) {
        return false;
    }
    *out = static_cast<int32_t>(Be32(reinterpret_cast<const uint8_t*>(item.data)));
    return true;
}

bool ItemTrue(const ArrayItem& item) {
    return item.data != nullptr && item.length == 1 && item.data[0] == 1;
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
