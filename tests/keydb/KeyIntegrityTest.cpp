// A key reaches one board only: power cuts during a header rewrite, and the journal of
// reservations and job ends across a crash, checked with kdbtool audit.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "keydb/HeaderCopy.h"
#include "keydb/KeyAudit.h"
#include "keydb/KeyFile.h"
#include "keydb/KeyFileFormat.h"
#include "keydb/KeyJournal.h"
#include "support/FileSystem.h"
#include "tests/keydb/KeyDbTestSupport.h"
#include "tests/keydb/MemoryKeyFileIo.h"

using keydbtest::MemoryDisk;
using keydbtest::MemoryKeyFileIo;
using keydbtest::ReadBytes;
using keydbtest::RunKdbtool;
using keydbtest::TempDir;

namespace {

std::unique_ptr<CKeyFile> Open(const std::shared_ptr<MemoryDisk>& disk,
                               KeyFileAccess access = KeyFileAccess::Station) {
    return std::make_unique<CKeyFile>(std::make_unique<MemoryKeyFileIo>(disk), "keys.kdb", nullptr,
                                      access);
}

KeyJobInfo Job(int slot, const std::string& serial = std::string()) {
    KeyJobInfo job;
    job.slot = slot;
    job.portLocation = "1-" + std::to_string(slot);
    job.serial = serial;
    job.destination = "misc";
    return job;
}

// Takes the next key and reserves it; its index, or -1.
int32_t TakeAndReserve(CKeyFile& file, int slot, const std::string& serial = std::string()) {
    int32_t index = -1;
    KeyCopy key;
    if (!file.GetKey(&index, &key)) {
        return -1;
    }
    return file.ReserveKey(index, Job(slot, serial)) ? index : -1;
}

// The file's lines, as std::getline gives them (a last line without its end is a line too).
// The journal is read and written through the station's own file calls (UTF-8 paths), so that a
// temporary folder in a profile named 张三 is found on Windows.
std::vector<std::string> Lines(const std::string& path) {
    const std::vector<uint8_t> bytes = ReadBytes(path);
    std::vector<std::string> lines;
    std::string line;
    for (const uint8_t b : bytes) {
        if (b == '\n') {
            lines.push_back(std::move(line));
            line.clear();
        } else {
            line += static_cast<char>(b);
        }
    }
    if (!line.empty()) {
        lines.push_back(std::move(line));
    }
    return lines;
}

bool Append(const std::string& path, const std::string& text) {
    return ks::AppendToFile(path, "", text) == ks::AppendStatus::Appended;
}

}  // namespace

// A header of several sectors (20,000 keys) rewritten in place: whichever prefix of its sectors
// (or of its copy) a power cut lets through, the next load finds a valid file in which every key
// whose reservation was reported is used.
TEST(KeyIntegrity, HeaderRewriteCutAfterAnyPrefixOfSectorsLoadsWithEveryReservedKey) {
    TempDir dir;
    const std::string path = dir.File("big.kdb");
    ASSERT_EQ(RunKdbtool({"create", "--keys", "20000", "--key-size", "4", path}).exitCode, 0);
    const std::vector<uint8_t> image = ReadBytes(path);
    const uint32_t h = kdb::LoadLe16(image.data() + kdb::kOffHeaderSize);
    ASSERT_GT(h, 2048u);
    const int headerSectors = static_cast<int>((h + 511) / 512);
    const int copySectors = static_cast<int>((h + 44 + 511) / 512);

    int loads = 0;
    for (bool cutCopy : {false, true}) {
        for (int cut = 0; cut <= (cutCopy ? copySectors : headerSectors); ++cut) {
            SCOPED_TRACE(std::string(cutCopy ? "copy" : "header") + " cut after " +
                         std::to_string(cut) + " sectors");
            auto disk = std::make_shared<MemoryDisk>();
            disk->file = disk->durable = image;
            {
                auto file = Open(disk);
                ASSERT_TRUE(file->IsValid()) << file->GetError();
                for (int slot = 1; slot <= 3; ++slot) {
                    ASSERT_EQ(TakeAndReserve(*file, slot), slot - 1);
                }
                disk->cutSectors = cut;
                disk->cutCopy = cutCopy;
                EXPECT_EQ(TakeAndReserve(*file, 4), -1);
                EXPECT_TRUE(file->IsBroken());
                int32_t index = -1;
                KeyCopy key;
                EXPECT_FALSE(file->GetKey(&index, &key));
            }
            auto after = disk->AfterRestart();
            {
                auto file = Open(after);
                ASSERT_TRUE(file->IsValid()) << file->GetError();
                ++loads;
                for (uint32_t k = 0; k < 3; ++k) {
                    EXPECT_TRUE(file->IsMarkedUsedAtLoad(k)) << k;
                }
                EXPECT_FALSE(file->IsMarkedUsedAtLoad(4));
                // The key whose reservation was cut short was never reported reserved: it may
                // have been recorded (the copy was taken) or not, never half.
                const int32_t unused = file->GetUnusedCount();
                EXPECT_EQ(unused, file->IsMarkedUsedAtLoad(3) ? 19996 : 19997);
                EXPECT_EQ(TakeAndReserve(*file, 5), file->IsMarkedUsedAtLoad(3) ? 4 : 3);
            }
            // The repaired file is one any reader of the format accepts, without the copy.
            auto reread = after->AfterRestart();
            reread->companions.erase(KeyFileCompanion::kHeaderCopy);
            EXPECT_TRUE(Open(reread, KeyFileAccess::VerifyOnly)->IsValid());
        }
    }
    EXPECT_EQ(loads, headerSectors + copySectors + 2);
}

// A station that delivers, spends, returns and then crashes with a key reserved; the next one
// finds that key in doubt and never hands it out; the audit lists every state and fails on a
// key delivered twice or one that left the station without being marked used.
TEST(KeyIntegrity, JournalTellsEveryKeysFateAcrossACrashAndTheAuditCatchesDoubleUse) {
    TempDir dir;
    const std::string path = dir.File("keys.kdb");
    const std::string journal = path + ".journal.jsonl";
    ASSERT_EQ(RunKdbtool({"create", "--keys", "10", "--key-size", "16", path}).exitCode, 0);
    {
        CKeyFile file(path);
        ASSERT_TRUE(file.IsValid());
        file.SetJournalHost("station-a");
        int32_t index = TakeAndReserve(file, 1, "SN-A");
        ASSERT_EQ(index, 0);
        EXPECT_EQ(file.GetKeyState(0), KeyState::kReserved);
        EXPECT_TRUE(file.DeliverKey(0, Job(1, "SN-A")));
        ASSERT_EQ(TakeAndReserve(file, 2, "SN-A"), 1);
        EXPECT_TRUE(file.SpendKey(1, Job(2, "SN-A"), "IDS_CHECK_KEY_ERROR", -4));
        EXPECT_FALSE(file.DeliverKey(1, Job(2)));  // a spent key is never delivered
        KeyCopy key;
        ASSERT_TRUE(file.GetKey(&index, &key));
        ASSERT_EQ(index, 2);
        EXPECT_FALSE(file.DeliverKey(2, Job(3)));  // nor one that was never reserved
        file.ReturnKey(2, Job(3));
        EXPECT_EQ(file.GetKeyState(2), KeyState::kReturned);
        ASSERT_EQ(TakeAndReserve(file, 4), 2);
        // The station dies here: key 2 is on its way to a board, its end is never recorded.
    }
    {
        CKeyFile file(path);
        ASSERT_TRUE(file.IsValid());
        file.SetJournalHost("station-a");
        EXPECT_EQ(file.GetInDoubtCount(), 1u);
        EXPECT_EQ(file.GetKeyState(2), KeyState::kInDoubt);
        EXPECT_EQ(file.GetUnusedCount(), 7);
        int32_t index = -1;
        KeyCopy key;
        ASSERT_TRUE(file.GetKey(&index, &key));
        EXPECT_EQ(index, 3);
        // Given back as the last act before the file is closed: its record still goes out.
        file.ReturnKey(3, Job(5));
    }
    keydbtest::ProgramResult audit = RunKdbtool({"audit", "--json", path});
    ASSERT_EQ(audit.exitCode, 0) << audit.out << audit.err;
    nlohmann::json report = nlohmann::json::parse(audit.out, nullptr, false);
    ASSERT_FALSE(report.is_discarded()) << audit.out;
    EXPECT_EQ(report["delivered"], nlohmann::json::array({0}));
    EXPECT_EQ(report["spent"], nlohmann::json::array({1}));
    EXPECT_EQ(report["inDoubt"], nlohmann::json::array({2}));
    // Key 2 was given back once and reserved later: it is not a returned key.
    EXPECT_EQ(report["returned"], nlohmann::json::array({3}));
    EXPECT_EQ(report["reservedTwice"], nlohmann::json::array());
    EXPECT_EQ(report["serialsWithSeveralKeys"]["SN-A"], nlohmann::json::array({0, 1}));
    EXPECT_EQ(report["usedInFile"], 3);
    // No key bytes in the journal, and every record names its host and slot.
    int records = 0;
    for (const std::string& line : Lines(journal)) {
        JournalRecord r;
        ASSERT_TRUE(ParseJournalRecord(line, &r)) << line;
        EXPECT_EQ(r.host, "station-a");
        ++records;
    }
    EXPECT_EQ(records, 9);  // loaded, 3 reserved, delivered, spent, returned; loaded, returned

    // A crash in the middle of an append leaves a cut line; the next station's records still
    // parse after it.
    ASSERT_TRUE(Append(journal, "{\"event\":\"reser"));
    {
        CKeyFile file(path);
        EXPECT_TRUE(file.GetJournalSummary().lastLineCut);
        EXPECT_EQ(file.GetJournalSummary().malformed, 1u);
        ASSERT_EQ(TakeAndReserve(file, 1), 3);
        EXPECT_TRUE(file.DeliverKey(3, Job(1)));
    }
    {
        // The cut line was ended before this run's records: they parse, each on a line.
        const std::vector<std::string> lines = Lines(journal);
        ASSERT_EQ(lines.size(), 13u);
        EXPECT_EQ(lines[9], "{\"event\":\"reser");
        for (size_t i = 10; i < lines.size(); ++i) {
            JournalRecord r;
            EXPECT_TRUE(ParseJournalRecord(lines[i], &r)) << lines[i];
        }
    }

    // Records of another key file (another key area) in the same journal speak of none of
    // this file's keys or boards.
    {
        JournalRecord r;
        r.event = JournalEvent::kLoaded;
        r.digest = std::string(64, 'a');
        r.keys = 10;
        std::string text = FormatJournalRecord(r);
        r = JournalRecord{};
        r.event = JournalEvent::kReserved;
        r.key = 5;
        r.job = Job(7, "SN-F");
        text += FormatJournalRecord(r);
        r.event = JournalEvent::kDelivered;
        text += FormatJournalRecord(r);
        ASSERT_TRUE(Append(journal, text));
    }
    {
        CKeyFile file(path);
        ASSERT_TRUE(file.IsValid());
        EXPECT_EQ(file.GetJournalSummary().foreign, 3u);
        EXPECT_EQ(file.GetInDoubtCount(), 1u);
        EXPECT_FALSE(file.IsMarkedUsedAtLoad(5));
        EXPECT_FALSE(file.WasReservedFor("SN-F"));
        EXPECT_TRUE(file.WasReservedFor("SN-A"));
        ASSERT_EQ(TakeAndReserve(file, 1), 4);
        EXPECT_TRUE(file.DeliverKey(4, Job(1)));
    }
    audit = RunKdbtool({"audit", path});
    EXPECT_EQ(audit.exitCode, 0) << audit.out;
    EXPECT_NE(audit.out.find("delivered:         3  0,3-4"), std::string::npos) << audit.out;
    EXPECT_NE(audit.out.find("(1 lines not records"), std::string::npos) << audit.out;

    // What the audit is for: a key delivered twice, a key that left without being marked used.
    {
        JournalRecord r;
        r.event = JournalEvent::kDelivered;
        r.key = 0;
        std::string text = FormatJournalRecord(r);
        r.event = JournalEvent::kReserved;
        r.key = 9;
        text += FormatJournalRecord(r);
        r.key = 3;  // reserved a second time
        text += FormatJournalRecord(r);
        ASSERT_TRUE(Append(journal, text));
    }
    audit = RunKdbtool({"audit", path});
    EXPECT_EQ(audit.exitCode, 1);
    EXPECT_NE(audit.out.find("FAILED: key 0 delivered more than once"), std::string::npos);
    EXPECT_NE(audit.out.find("FAILED: key 9 left the station but is not marked used"),
              std::string::npos);
    EXPECT_NE(audit.out.find("FAILED: key 3 reserved more than once"), std::string::npos)
        << audit.out;
}

// A job's end that cannot be written: "delivered" fails, the key is spent (it may be on the
// board), nothing more is handed out, and the next load finds the key used and in doubt.
TEST(KeyIntegrity, AnEndRecordThatCannotBeWrittenSpendsTheKeyAndStopsTheFile) {
    TempDir dir;
    const std::string path = dir.File("keys.kdb");
    ASSERT_EQ(RunKdbtool({"create", "--keys", "8", "--key-size", "16", path}).exitCode, 0);
    auto disk = std::make_shared<MemoryDisk>();
    disk->file = disk->durable = ReadBytes(path);
    {
        auto file = Open(disk);
        ASSERT_TRUE(file->IsValid()) << file->GetError();
        ASSERT_EQ(TakeAndReserve(*file, 1, "SN-1"), 0);
        disk->off = true;
        EXPECT_FALSE(file->DeliverKey(0, Job(1, "SN-1")));
        EXPECT_EQ(file->GetKeyState(0), KeyState::kSpent);
        EXPECT_TRUE(file->IsBroken());
        int32_t index = -1;
        KeyCopy key;
        EXPECT_FALSE(file->GetKey(&index, &key));
    }
    auto file = Open(disk->AfterRestart());
    ASSERT_TRUE(file->IsValid()) << file->GetError();
    EXPECT_TRUE(file->IsMarkedUsedAtLoad(0));
    EXPECT_EQ(file->GetInDoubtCount(), 1u);
    EXPECT_TRUE(file->WasReservedFor("SN-1"));

    // The header copy that guards a rewrite is taken only when its checksum matches.
    std::vector<uint8_t> copy;
    const std::vector<uint8_t> header(disk->file.begin(), disk->file.begin() + 200);
    ASSERT_TRUE(header_copy::Encode(header.data(), header.size(), &copy));
    std::vector<uint8_t> decoded;
    ASSERT_TRUE(header_copy::Decode(copy.data(), copy.size(), &decoded));
    EXPECT_EQ(decoded, header);
    for (const size_t at : {size_t{12}, size_t{100}, copy.size() - 1}) {
        std::vector<uint8_t> altered = copy;
        altered[at] ^= 0x01;
        EXPECT_FALSE(header_copy::Decode(altered.data(), altered.size(), &decoded)) << at;
    }
}
