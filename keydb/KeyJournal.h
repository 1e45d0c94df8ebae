// The key file's audit journal: beside keys.kdb, an append-only file keys.kdb.journal.jsonl of
// one JSON object per line. A station that loads the file writes a "loaded" record naming the
// key area it loaded (its SHA-256), then one "reserved" record per key before the key's first
// byte goes to a board and one end record per reserved key ("delivered" or "spent", with the
// failing step and its code); a key that never left the station is "returned". Never key bytes.
//
// Records are attributed to the key file named by the last "loaded" record before them, so a
// journal left over from another file with the same name is told apart.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>

class IKeyFileIo;

// What a reservation and its end record say about the job.
struct KeyJobInfo {
    int slot = 0;
    std::string portLocation;
    std::string serial;       // empty when the job did not read it
    std::string destination;  // "misc", "vendor" or "item8"
};

enum class JournalEvent { kLoaded, kReserved, kDelivered, kSpent, kReturned };

struct JournalRecord {
    JournalEvent event = JournalEvent::kLoaded;
    std::string time;  // UTC, "YYYY-MM-DDThh:mm:ssZ"
    std::string host;
    int64_t key = -1;  // key index; -1 for "loaded"
    KeyJobInfo job;
    std::string step;  // "spent": the failing step
    int64_t code = 0;  // "spent": the step's result code
    // "loaded": the key area's SHA-256 in lower-case hex, the key count and the in-doubt count.
    std::string digest;
    int64_t keys = 0;
    int64_t inDoubt = 0;
};

// Hosts a summary keeps by name.
constexpr size_t kMaxJournalHosts = 16;

// Lines longer than this are not records.
constexpr size_t kMaxJournalLine = 4096;

const char* JournalEventName(JournalEvent event);
// One line, ending in '\n'. Texts that are not valid UTF-8 are written with replacement
// characters. Never throws.
std::string FormatJournalRecord(const JournalRecord& record);
// False for anything that is not a well-formed record of a known event. Never throws.
bool ParseJournalRecord(std::string_view line, JournalRecord* out);
// The current time as the journal writes it.
std::string JournalTimeNow();
std::string HexBytes(const uint8_t* data, size_t size);

// What the journal says about the keys of one key file.
struct KeyHistory {
    uint32_t reserved = 0;
    uint32_t delivered = 0;
    uint32_t spent = 0;
    uint32_t returned = 0;
    bool open = false;  // reserved, and no end record after the last reservation
};

struct KeyJournalSummary {
    std::map<uint32_t, KeyHistory> keys;
    std::map<std::string, std::set<uint32_t>> keysBySerial;  // reservations with a serial number
    uint64_t records = 0;                                    // records of this key file
    uint64_t malformed = 0;  // lines that are not records, or name a key outside the file
    uint64_t foreign = 0;    // records of another key file (or before any "loaded" record)
    uint64_t loads = 0;
    // The hosts named by this key file's "loaded" records (the first kMaxJournalHosts).
    std::set<std::string> hosts;
    bool lastLineCut = false;  // the journal ends inside a line (a crash during an append)

    // Reservations without an end record: what a crash leaves.
    uint32_t InDoubtCount() const;
};

// Reads the journal of the key file whose key area has the given digest (hex) and key count.
// An absent journal is an empty one. False (with a reason) when it cannot be read.
// `which` is the journal to read (the stock's, or the one beside the key file).
bool SummariseJournal(IKeyFileIo& io, const std::string& digestHex, uint32_t keyCount,
                      KeyJournalSummary* out, std::string* error, int which = 0);
// Both journals of a stock as one: a key is used when either records it so (counts are the
// larger of the two, a reservation without an end is open). Returns the number of keys whose
// "used" the two disagree on; *onlySide (when given) gets those that only `side` records used.
uint32_t MergeJournalSummaries(const KeyJournalSummary& side, KeyJournalSummary* into,
                               uint32_t* onlySide = nullptr);
