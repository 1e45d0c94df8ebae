#include "app/ResultsJournal.h"

#include "keydb/KeyJournal.h"
#include "support/Logger.h"
#include "support/Paths.h"

CResultsJournal::CResultsJournal(const std::string& appFolder)
    : results_(appFolder), host_(ks::HostName()) {}

void CResultsJournal::SetKeys(const std::string& name, const std::string& sha256) {
    keysLoaded_ = true;
    keyName_ = name;
    keySha256_ = sha256;
}

void CResultsJournal::ClearKeys() {
    keysLoaded_ = false;
    keyName_.clear();
    keySha256_.clear();
}

void CResultsJournal::Event(const char* name, const std::string& by) {
    StationEvent event;
    event.event = name;
    event.by = by;
    Append(event);
}

void CResultsJournal::KeysLoaded(int64_t keys, int64_t unused) {
    StationEvent event;
    event.event = "keys-loaded";
    event.keySource = keyName_;
    event.keySha256 = keySha256_;
    event.keys = keys;
    event.unused = unused;
    Append(event);
}

void CResultsJournal::Job(JobRecord* record) {
    // The keys can change only while no job runs, so these are the job's.
    if (keysLoaded_) {
        record->keySource = keyName_;
        record->keySha256 = keySha256_;
    }
    record->host = host_;
    if (!results_.Append(*record)) {
        Failed();
    }
}

void CResultsJournal::Append(const StationEvent& event) {
    StationEvent stamped = event;
    stamped.time = JournalTimeNow();
    stamped.host = host_;
    if (!results_.Append(stamped)) {
        Failed();
    }
}

void CResultsJournal::Failed() {
    if (!failureLogged_ && log_ != nullptr) {
        log_->Print(ks::kLogStation, "Error:the job results could not be written: %s",
                    results_.LastError().c_str());
    }
    failureLogged_ = true;
}
