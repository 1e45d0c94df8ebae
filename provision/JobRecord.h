// What one finished provisioning job reports for the factory's records: the results file and the
// console's JSON lines. Never key bytes.
#pragma once

#include <cstdint>
#include <string>

struct JobRecord {
    int slot = 0;
    std::string port;         // the slot's port location
    std::string serial;       // empty when the job did not read it
    int64_t keyIndex = -1;    // -1 when no key was taken
    std::string destination;  // "misc", "vendor" or "item8"; empty when no key was taken
    bool success = false;
    std::string result;  // the row's last text, as the operator saw it
    std::string step;    // a failed job: the text key of the failing step
    int64_t code = 0;    // that step's result code (0 when it has none)
    int64_t durationMs = 0;
    std::string time;  // when the job ended, UTC "YYYY-MM-DDThh:mm:ssZ"
};
