// The keybox records a persistent board's loader took out of its transfer area, kept in a file of
// fixed-size records. Each record is one write of its own, with its own checksum, so a program
// killed at any moment leaves at most a torn last record, which the next open cuts off.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/sim/LoaderEmulator.h"

class TakenKeyboxLog {
  public:
    static constexpr size_t kRecordSize = 512;
    static constexpr size_t kMaxRecords = 4096;
    static constexpr size_t kMaxKeyBytes = 476;  // the room after a record header in one sector

    ~TakenKeyboxLog();
    TakenKeyboxLog(const TakenKeyboxLog&) = delete;
    TakenKeyboxLog& operator=(const TakenKeyboxLog&) = delete;

    // Opens the log at path for appending, creating it when missing, and reads the records it
    // holds. nullptr (and a message in error) when the file is not a regular file, too large, or
    // holds a damaged record.
    static std::unique_ptr<TakenKeyboxLog> Open(const std::string& path,
                                                std::vector<TakenKeybox>* records,
                                                std::string* error);
    // Reads the records of a log without changing it; a missing file holds none. A torn last
    // record is left out; any other damage fails.
    static bool Read(const std::string& path, std::vector<TakenKeybox>* records,
                     std::string* error);

    // Appends one record (a key longer than kMaxKeyBytes is cut). False when the log is full or
    // the write fails; the log is then as it was.
    bool Append(const TakenKeybox& record);
    size_t Count() const { return count_; }

  private:
    TakenKeyboxLog(int fd, size_t count) : fd_(fd), count_(count) {}

    int fd_;
    size_t count_;
};
