// The audit of a key file against its journal: which keys were delivered, spent, left in doubt
// or returned, which serial numbers received more than one key, and the disagreements that mean
// a key may have reached two boards.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

class CKeyFile;

struct KeyAuditReport {
    std::vector<uint32_t> delivered;
    std::vector<uint32_t> spent;     // ended failed after the reservation, never delivered
    std::vector<uint32_t> inDoubt;   // reserved, no end record
    std::vector<uint32_t> returned;  // handed out and given back, never reserved
    std::map<std::string, std::vector<uint32_t>> serialsWithSeveralKeys;

    // Failures.
    std::vector<uint32_t> deliveredTwice;  // in more than one "delivered" record
    std::vector<uint32_t> reservedTwice;   // reserved again after a reservation
    std::vector<uint32_t> notMarkedUsed;   // reserved, delivered or spent, but free in the file

    uint32_t keyCount = 0;
    uint32_t usedInFile = 0;
    uint32_t usedWithoutRecord = 0;  // used in the file, never reserved (earlier tools, cut lines)
    uint64_t records = 0;
    uint64_t malformed = 0;
    uint64_t foreign = 0;
    std::string journalError;  // the journal could not be read

    bool Passed() const {
        return deliveredTwice.empty() && reservedTwice.empty() && notMarkedUsed.empty() &&
               journalError.empty();
    }
};

// The file must be valid (loaded, verify-only is enough).
KeyAuditReport AuditKeyFile(const CKeyFile& file);

// "0-3,7,9-10".
std::string IndexRanges(const std::vector<uint32_t>& sorted);
