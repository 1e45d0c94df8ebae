// Small pieces shared by the pool's station source and its administration: a result that clears
// itself, texts of libpq errors, and bounded reads of binary result fields.
#pragma once

#include <libpq-fe.h>

#include <cstdint>
#include <string>
#include <vector>

namespace pool {

class Result {
  public:
    explicit Result(PGresult* result) : result_(result) {}
    ~Result() { PQclear(result_); }
    Result(const Result&) = delete;
    Result& operator=(const Result&) = delete;

    PGresult* get() const { return result_; }
    // Gives up the result without clearing it.
    PGresult* Release() {
        PGresult* result = result_;
        result_ = nullptr;
        return result;
    }
    bool Ok(ExecStatusType expected) const {
        return result_ != nullptr && PQresultStatus(result_) == expected;
    }
    // The server's message (first line), or the connection's when there is no result.
    std::string Error(const PGconn* conn) const;

  private:
    PGresult* result_;
};

std::string ConnError(const PGconn* conn);
// A binary int2, int4 or int8 field; false for NULL or any other length.
bool BinaryInt(const PGresult* result, int row, int field, int64_t* out);
// The elements of a binary one-dimensional array field (a procedure's array result), each as its
// bytes, or a null pointer with length -1 for NULL; an empty array gives none. False for NULL,
// more than `most` elements or a malformed array.
struct ArrayItem {
    const char* data = nullptr;
    int length = -1;
};
bool BinaryArray(const PGresult* result, int row, int field, size_t most,
                 std::vector<ArrayItem>* out);
// An element of a binary int4 or bool array (as BinaryArray gives it); false for NULL or any
// other length.
bool ItemInt(const ArrayItem& item, int64_t* out);
bool ItemTrue(const ArrayItem& item);
// 1 to 64 of A-Z a-z 0-9 _ . - (the pools table checks the same).
bool IsValidPoolName(const std::string& name);

}  // namespace pool
