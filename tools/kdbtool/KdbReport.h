// kdbtool report: a shift read back from the stations' results files (results-*.jsonl): every
// job with where its key came from and whether a key went out, then the totals a supervisor asks
// for the morning after (keys per key source, failures by reason and by slot, how each station's
// run ended), as text, as a CSV for a spreadsheet and as one self-contained HTML page with plots.
//
// The results files are input from the stations' folders and are read as untrusted: every line
// is bounded, every field is checked for its type and cut to a bounded length, and every text is
// escaped for the format it goes into (a serial number is whatever the board's storage held).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace kdbtool {

// One finished job, as the station recorded it.
struct ReportJob {
    std::string time;  // UTC "YYYY-MM-DDThh:mm:ssZ"
    std::string host;
    bool practice = false;
    int64_t slot = 0;
    std::string port;
    std::string serial;
    int64_t key = -1;       // the key index reserved for the board, -1 when none
    bool keySent = false;   // a key went out to the board (delivered, or it may hold it)
    std::string keySource;  // the key file's name, or the pool's description
    std::string keyPath;    // the key file's path when the station recorded it
    std::string keySha256;  // the key file's key-area SHA-256; empty for a pool
    std::string destination;
    std::string outcome;  // "ok", "fail", "already", "stopped"
    std::string step;     // a job that did not succeed: the text key of its last step
    int64_t code = 0;
    std::string text;   // the row's last text, as the operator saw it
    std::string cause;  // what lay behind the failing step (a system error's text), if recorded
    int64_t causeCode = 0;
    int64_t durationMs = 0;

    bool IsPool() const;
    // The key file's path (or name), or the pool.
    const std::string& KeyFile() const { return keyPath.empty() ? keySource : keyPath; }
};

// A station event: "start", "stop", "close", "keys-loaded".
struct ReportEvent {
    std::string time;
    std::string host;
    std::string event;
    bool practice = false;
    std::string keySource;
    std::string keySha256;
};

// How a station's run of the program ended, as far as its records tell.
enum class RunEnding {
    kClosed,        // a "close" record
    kCrashed,       // it was running (Start without Stop) and the next records began anew
    kOpenAtEnd,     // no close up to the last record: crashed, killed or still open
    kRunningAtEnd,  // running at its last record: crashed, killed or still running
};
const char* RunEndingText(RunEnding ending);
bool RunEndedBadly(RunEnding ending);

// One run of the station program on one host: from its first record to its close, or to where
// its records stop.
struct StationRun {
    std::string host;
    std::string first;  // time of its first record
    std::string last;   // time of its last record
    bool practice = false;
    int64_t starts = 0;
    int64_t stops = 0;
    int64_t jobs = 0;
    int64_t ok = 0;
    int64_t fail = 0;
    std::vector<std::string> keySources;
    RunEnding ending = RunEnding::kOpenAtEnd;
};

struct SourceTotals {
    std::string source;  // key file path or name, or the pool
    std::string sha256;
    bool pool = false;
    bool practice = false;
    int64_t jobs = 0;
    int64_t delivered = 0;  // keys on boards that passed
    int64_t spent = 0;      // keys sent to boards whose job then failed: they may hold them
};

struct ReasonTotals {
    std::string step;   // text key of the failing step
    std::string text;   // the operator's text for it (the first one seen)
    std::string cause;  // the cause behind it, when recorded
    int64_t failures = 0;
    int64_t keySent = 0;  // of them, after a key went out
    int64_t practice = 0;
    std::string Label() const;  // text, and the cause when there is one
};

struct SlotTotals {
    std::string host;
    int64_t slot = 0;
    std::vector<std::string> ports;
    int64_t jobs = 0;
    int64_t failures = 0;
    int64_t keySent = 0;
    std::map<size_t, int64_t> byReason;  // index into ShiftReport::reasons -> failures
};

struct SerialKeys {
    std::string serial;
    std::vector<std::string> keys;  // "source:index" of every key sent to it
};

// The records' time window: since inclusive, until exclusive; empty for open.
struct ReportWindow {
    std::string since;
    std::string until;
};

// The key pool's event chain as an audit sees it, for the head hash the supervisor keeps with the
// report: the next audit given it (--expect-head) fails when the history was cut or rewritten.
struct PoolAuditHead {
    bool asked = false;  // --pool-db was given
    bool read = false;
    std::string error;
    int64_t events = 0;
    int64_t brokenAt = 0;  // the first event whose hash does not follow; 0 when intact
    std::string head;      // hex SHA-256 of the last event
};

// Reads it through `conninfo` (a role that may read the events, an auditor), checked as the pool
// checks every connection string (verified TLS over TCP unless `insecure`). False with
// out->error when it could not be read.
bool ReadPoolAuditHead(const std::string& conninfo, bool insecure, PoolAuditHead* out);

struct ShiftReport {
    ReportWindow window;
    PoolAuditHead pool;
    std::vector<std::string> files;
    std::vector<ReportJob> jobs;   // in the window, by time
    std::vector<StationRun> runs;  // runs with a record in the window
    std::vector<SourceTotals> sources;
    std::vector<ReasonTotals> reasons;  // most failures first
    std::vector<SlotTotals> slots;      // by host and slot
    std::vector<SerialKeys> serialsWithSeveralKeys;
    int64_t ok = 0;
    int64_t fail = 0;
    int64_t already = 0;
    int64_t stopped = 0;
    int64_t practiceJobs = 0;
    int64_t failWithKey = 0;
    // Lines that are not records ("file:line: why"; at most a few are kept), and how many.
    std::vector<std::string> unreadable;
    int64_t unreadableLines = 0;
    // Files whose last line was cut short (a station killed while writing it): not counted above.
    std::vector<std::string> cutShort;
};

// Collects the records of results files; Finish() sorts them and adds the totals.
class ShiftReader {
  public:
    // Reads one results file (at most kMaxResultsFileBytes). False with the reason when it
    // cannot be read.
    bool AddFile(const std::string& path, std::string* error);
    // The contents of one results file; `name` is used in the messages.
    void AddText(std::string_view text, const std::string& name);
    ShiftReport Finish(const ReportWindow& window);

    static constexpr size_t kMaxLineBytes = 64 * 1024;
    static constexpr uint64_t kMaxResultsFileBytes = uint64_t{4} << 30;

  private:
    void AddLine(std::string_view line, const std::string& name, size_t number);
    void Unreadable(const std::string& name, size_t number, const std::string& why);

    std::vector<std::string> files_;
    std::vector<ReportJob> jobs_;
    std::vector<ReportEvent> events_;
    std::vector<std::string> unreadable_;
    int64_t unreadableLines_ = 0;
    std::vector<std::string> cutShort_;
    uint64_t order_ = 0;
    std::vector<uint64_t> jobOrder_;
    std::vector<uint64_t> eventOrder_;
};

// "YYYY-MM-DD", "YYYY-MM-DDThh:mm", "YYYY-MM-DDThh:mm:ss" (a blank instead of the T, a "Z" at the
// end, all UTC) as "YYYY-MM-DDThh:mm:ssZ"; false when it is not a real date and time.
bool ParseReportTime(const std::string& text, std::string* utc);

// The outputs. Text: the jobs as tab-separated lines, then the totals. CSV: UTF-8 with a
// byte-order mark, one row per job. HTML: one page, no outside resource.
std::string FormatReportText(const ShiftReport& report);
std::string FormatReportCsv(const ShiftReport& report);
std::string FormatReportHtml(const ShiftReport& report);

// The HTML page's table lists at most this many jobs (failures, then the rest); the text and
// the CSV always list them all.
constexpr size_t kHtmlJobRows = 2000;

// Cuts UTF-8 text to at most `maxChars` characters, ending in "…" when it was cut; never inside
// a character.
std::string ElideUtf8(const std::string& text, size_t maxChars);

}  // namespace kdbtool
