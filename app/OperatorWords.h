// The words the operator reads when a key file or key pool cannot be used: each technical cause
// (kept for the log) maps to one language key whose text says what happened and what to do.
#pragma once

#include <cstdint>
#include <string>

enum class KeyFileTrouble {
    kOther,       // no better words: the load failed
    kDamaged,     // a check of its contents failed (digest, header checksum, counts)
    kNotKeyFile,  // not a key file at all (tag or header size)
    kCutShort,    // shorter than its header says (an unfinished copy)
    kReadOnly,    // the file or its folder may not be written
    kInUse,       // another station holds it
    kNotFound,    // the path names no file
    kUnreadable,  // a read of it failed
    kDiskFull,    // its disk has no room for the record of a key
    kJournal,     // a journal of its stock cannot be opened for reading or writing
};

// The cause of a failed load, from the failing check's text (CKeyFile::GetError()).
KeyFileTrouble ClassifyKeyFileError(const std::string& checkText);

// The language key of the operator's words for the cause.
const char* KeyFileTroubleKey(KeyFileTrouble trouble);

// Whether the disk of `path` (a key file) is full: fewer than `minBytes` free for this user.
// False when it cannot be told.
bool DiskFullAt(const std::string& path, uint64_t minBytes = 64 * 1024);
