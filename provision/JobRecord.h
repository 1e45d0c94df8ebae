// What one finished provisioning job reports for the factory's records: the results file and the
// console's JSON lines. Never key bytes.
#pragma once

#include <cstdint>
#include <string>

// How a job ended. kAlready: the board already holds its key (a used key of the loaded keys in its
// key area, or its serial number already received one); it took no key and is no failure.
// kStopped: the key source had stopped the station (it could not record a key) before this job
// took a key; the board was not written and is neither a success nor a failure.
enum class JobOutcome { kSuccess, kFailed, kAlready, kStopped };

// "ok", "fail" or "already", as the results file and the console's JSON lines say it.
inline const char* JobOutcomeName(JobOutcome outcome) {
    switch (outcome) {
        case JobOutcome::kSuccess:
            return "ok";
        case JobOutcome::kAlready:
            return "already";
        case JobOutcome::kStopped:
            return "stopped";
        case JobOutcome::kFailed:
            break;
    }
    return "fail";
}

struct JobRecord {
    int slot = 0;
    std::string port;         // the slot's port location
    std::string serial;       // empty when the job did not read it
    int64_t keyIndex = -1;    // -1 when no key was taken
    std::string destination;  // "misc", "vendor" or "item8"; empty when no key was taken
    JobOutcome outcome = JobOutcome::kFailed;
    std::string result;  // the row's last text, as the operator saw it
    std::string step;    // a failed job: the text key of the failing step
    int64_t code = 0;    // that step's result code (0 when it has none)
    // A key went out to the board: delivered, or (a failure) the board may hold it.
    bool keySent = false;
    // What lay behind the failing step when the system said it (an error's text and number).
    std::string cause;
    int64_t causeCode = 0;
    int64_t durationMs = 0;
    std::string time;  // when the job ended, UTC "YYYY-MM-DDThh:mm:ssZ"
    // Filled by the station (not the worker): where the key came from and which station ran it.
    std::string keySource;  // the key file's name, or the pool's name
    std::string keySha256;  // the key file's key-area SHA-256 (hex); empty for a pool
    std::string host;       // the station's host name
    bool practice = false;  // practice mode: simulated boards, a practice key file
};

// A failure's row text is the step's text, this separator and what became of the key ("no key
// sent", or "may hold key N: set the board aside"); the part before it names the failure.
inline constexpr char kKeyNoteSeparator[] = "; ";
