// A full RKP folder is the folder's fault, not the boards': the console station on a tmpfs that
// is full says it once on the status line in the operator's language, every row says the same,
// each result carries the system's cause and no key is taken; once space is freed the same boards
// pass. Needs root to mount the tmpfs (skipped otherwise).
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "keydb/KeyFile.h"
#include "tests/common/ChildProcess.h"
#include "tests/keydb/KeyDbTestSupport.h"
#include "tests/report/ReportTestKit.h"

namespace fs = std::filesystem;
using report_fixture::ReadFile;
using report_fixture::Records;

namespace {

size_t Occurrences(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++n;
    }
    return n;
}

}  // namespace

TEST(RkpFolder, AFullFolderIsSaidOnceEveryRowSaysItAndTheBoardsPassOnceItIsFreed) {
    keydbtest::TempDir dir;
    const fs::path root = dir.Path();
    const fs::path home = root / "home";
    const fs::path rkp = root / "rkp";
    fs::create_directories(home);
    fs::create_directories(rkp);
    if (::mount("tmpfs", rkp.c_str(), "tmpfs", 0, "size=65536") != 0) {
        GTEST_SKIP() << "cannot mount a tmpfs here (needs root): the full folder is not tried";
    }
    struct Unmount {
        fs::path path;
        ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
    } unmount{rkp};
    const fs::path data = fs::path(KS_SOURCE_DIR) / "data";
    fs::copy(data / "lang", home / "lang", fs::copy_options::recursive);
    fs::copy_file(data / "devices.ini", home / "devices.ini");
    fs::copy_file(data / "config.ini", home / "config.ini");
    const std::string kdb = (root / "keys.kdb").string();
    ASSERT_EQ(child_process::Run({KS_KDBTOOL, "create", "--keys", "50", "--key-size", "64", kdb}),
              0);
    // Fill the folder to its last byte.
    {
        std::FILE* filler = std::fopen((rkp / "filler").c_str(), "wb");
        ASSERT_NE(filler, nullptr);
        const std::vector<char> block(4096, 'x');
        while (std::fwrite(block.data(), 1, block.size(), filler) == block.size() &&
               std::fflush(filler) == 0) {
        }
        std::fclose(filler);
    }
    const auto station = [&](const char* language) {
        std::string config = ReadFile(data / "config.ini");
        config.replace(config.find("Selected=0"), 10, std::string("Selected=") + language);
        keydbtest::WriteBytes((home / "config.ini").string(),
                              std::vector<uint8_t>(config.begin(), config.end()));
        return keydbtest::RunProgram({KS_KEYSTATION_CLI, "--home", home.string(), "--kdb", kdb,
                                      "--simulate", "3", "--sim-state", (root / "boards").string(),
                                      "--start", "--until-idle", "--keybox", "1", "--rkp", "1",
                                      "--dest", "0", "--save-path", rkp.string() + "/"});
    };
    fs::create_directories(root / "boards");

    const struct {
        const char* language;
        const char* words;
    } runs[] = {{"0", "RKP folder full: free space or choose another folder"},
                {"1", "RKP文件夹已满：请释放空间或选择其他文件夹"}};
    size_t seen = 0;
    for (const auto& run : runs) {
        const keydbtest::ProgramResult full = station(run.language);
        // Said once on the status line, whatever the number of boards.
        EXPECT_EQ(Occurrences(full.err, run.words), 1u) << full.err;
        // Every row ends saying the same (the console prints each row's texts).
        for (const char* slot : {"slot 1 ", "slot 2 ", "slot 3 "}) {
            const size_t last = full.out.rfind(slot);
            ASSERT_NE(last, std::string::npos) << full.out;
            const std::string row = full.out.substr(last, full.out.find('\n', last) - last);
            EXPECT_NE(row.find(run.words), std::string::npos) << row;
        }
        // Each result names the folder's trouble with the system's cause; no key went out.
        std::vector<std::string> files;
        for (const auto& entry : fs::directory_iterator(home / "results")) {
            files.push_back(entry.path().string());
        }
        const std::vector<nlohmann::json> records = Records(files);
        int failed = 0;
        for (size_t i = 0; i < records.size(); ++i) {
            const nlohmann::json& r = records[i];
            if (r["event"] != "result" || i < seen) {
                continue;
            }
            EXPECT_EQ(r["step"], "IDS_RKP_FOLDER_FULL") << r.dump();
            EXPECT_EQ(r["cause_code"], 28) << r.dump();
            EXPECT_EQ(r["cause"], "No space left on device") << r.dump();
            EXPECT_EQ(r["key"], -1);
            EXPECT_EQ(r["key_sent"], false);
            EXPECT_TRUE(r["result"] == "fail" || r["result"] == "stopped") << r.dump();
            failed += r["result"] == "fail" ? 1 : 0;
        }
        seen = records.size();
        // A fresh station learns it from a job whose file could not be written.
        EXPECT_GE(failed, 1);
    }
    CKeyFile keys(kdb, nullptr, KeyFileAccess::VerifyOnly);
    EXPECT_EQ(keys.GetUnusedCount(), 50) << "no key was taken for a board whose RKP file failed";

    // Space freed: the same boards pass.
    fs::remove(rkp / "filler");
    const keydbtest::ProgramResult freed = station("0");
    EXPECT_EQ(freed.exitCode, 0) << freed.err;
    EXPECT_NE(freed.out.find("success 00003 fail 00000"), std::string::npos) << freed.out;
}
