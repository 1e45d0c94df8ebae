// A key reaches one board only: power cuts during a header rewrite, and the journal of
// reservations and job ends across a crash, checked with kdbtool audit.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "keydb/KeyAudit.h"
#include "keydb/KeyFile.h"
#include "keydb/KeyFileFormat.h"
#include "keydb/KeyJournal.h"
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
        EXPECT_EQ(file.GetInDoubtCount(), 1u);
        EXPECT_EQ(file.GetKeyState(2), KeyState::kInDoubt);
        EXPECT_EQ(file.GetUnusedCount(), 7);
        int32_t index = -1;
        KeyCopy key;
        ASSERT_TRUE(file.GetKey(&index, &key));
        EXPECT_EQ(index, 3);
    }
    keydbtest::ProgramResult audit = RunKdbtool({"audit", "--json", path});
    ASSERT_EQ(audit.exitCode, 0) << audit.out << audit.err;
    nlohmann::json report = nlohmann::json::parse(audit.out, nullptr, false);
    ASSERT_FALSE(report.is_discarded()) << audit.out;
    EXPECT_EQ(report["delivered"], nlohmann::json::array({0}));
    EXPECT_EQ(report["spent"], nlohmann::json::array({1}));
    EXPECT_EQ(report["inDoubt"], nlohmann::json::array({2}));
    EXPECT_EQ(report["serialsWithSeveralKeys"]["SN-A"], nlohmann::json::array({0, 1}));
    EXPECT_EQ(report["usedInFile"], 3);
    // No key bytes in the journal, and every record names its host and slot.
    std::ifstream in(journal);
    std::string line;
    int records = 0;
    while (std::getline(in, line)) {
        JournalRecord r;
        ASSERT_TRUE(ParseJournalRecord(line, &r)) << line;
        EXPECT_EQ(r.host, "station-a");
        ++records;
    }
    EXPECT_EQ(records, 7);  // loaded, 3 reserved, delivered, spent, returned

    // A crash in the middle of an append leaves a cut line; the next station's records still
    // parse after it.
    {
        std::ofstream out(journal, std::ios::app);
        out << "{\"event\":\"reser";
    }
    {
        CKeyFile file(path);
        ASSERT_EQ(TakeAndReserve(file, 1), 3);
        EXPECT_TRUE(file.DeliverKey(3, Job(1)));
    }
    audit = RunKdbtool({"audit", path});
    EXPECT_EQ(audit.exitCode, 0) << audit.out;
    EXPECT_NE(audit.out.find("delivered:         2  0,3"), std::string::npos) << audit.out;
    EXPECT_NE(audit.out.find("(1 lines not records"), std::string::npos) << audit.out;

    // What the audit is for: a key delivered twice, a key that left without being marked used.
    {
        std::ofstream out(journal, std::ios::app);
        JournalRecord r;
        r.event = JournalEvent::kDelivered;
        r.key = 0;
        out << FormatJournalRecord(r);
        r.event = JournalEvent::kReserved;
        r.key = 9;
        out << FormatJournalRecord(r);
    }
    audit = RunKdbtool({"audit", path});
    EXPECT_EQ(audit.exitCode, 1);
    EXPECT_NE(audit.out.find("FAILED: key 0 delivered more than once"), std::string::npos);
    EXPECT_NE(audit.out.find("FAILED: key 9 left the station but is not marked used"),
              std::string::npos);
}
