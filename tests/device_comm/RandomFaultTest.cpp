// Random faults as the station's transport meets them, the fault settings of the command line,
// and demo boards kept in files.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "device/ZRUsbComm.h"
#include "platform/sim/DemoImage.h"
#include "platform/sim/EmulatorPipes.h"
#include "platform/sim/SimBoardFiles.h"
#include "tests/device_comm/TestDoubles.h"

namespace fs = std::filesystem;

namespace {

const std::string kPath = "sim:2-1";
constexpr uint32_t kNever = UINT32_MAX;

enum class Command { kWrite, kRead, kReset };

// Each fault at probability 1 on its own, and what the transport makes of it.
struct FaultCase {
    const char* setting;
    Command command;
    int code;              // what the command returns
    bool stored;           // a write's data is on the board afterwards
    uint32_t backAfterMs;  // 0: never left; kNever: left for good
    uint32_t RandomFaultCounts::*struck;
};

// A demo board on the emulator's pipes at kPath, spoken to through the station's transport.
struct Board {
    FakeClock clock;
    std::unique_ptr<LoaderEmulator> device = MakeDemoLoader(2, DemoLayout::kGpt, clock);
    EmulatorPipes pipes{clock};
    CZRUsbComm comm{nullptr, 0, pipes, clock};
    Board() { pipes.Attach(kPath, *device); }
};

const FaultCase kCases[] = {
    {"status-lost=1", Command::kWrite, ZR_ERR_READ, true, 0, &RandomFaultCounts::statusLost},
    {"bad-tag=1", Command::kWrite, ZR_ERR_STATUS_BLOCK, true, 0, &RandomFaultCounts::badTag},
    {"short-read=1", Command::kRead, ZR_ERR_READ, false, 0, &RandomFaultCounts::shortRead},
    {"unplug=1", Command::kRead, ZR_ERR_READ, false, 1000, &RandomFaultCounts::unplug},
    {"reset-never-returns=1", Command::kReset, 0, false, kNever,
     &RandomFaultCounts::resetNeverReturns},
};

uint32_t TotalStruck(const RandomFaultCounts& c) {
    return c.statusLost + c.unplug + c.resetNeverReturns + c.shortRead + c.badTag;
}

TEST(RandomFaults, EachKindAtCertaintyShowsItsEffectThroughTheTransport) {
    for (const FaultCase& c : kCases) {
        SCOPED_TRACE(c.setting);
        Board board;
        RandomFaultRates rates;
        std::string error;
        ASSERT_TRUE(ParseRandomFault(c.setting, &rates, &error)) << error;
        board.device->SetRandomFaults(rates, 42);

        const std::vector<uint8_t> data(512, 0xA5);
        std::vector<uint8_t> buf(4 * 512);
        int code = 1;
        switch (c.command) {
            case Command::kWrite:
                code = board.comm.ZRU_WriteLBA(kPath, 300, 1, data.data(), 0);
                break;
            case Command::kRead:
                code = board.comm.ZRU_ReadLBA(kPath, 0, 4, buf.data(), 0);
                break;
            case Command::kReset:
                code = board.comm.ZRU_ResetDevice(kPath, 1);
                break;
        }
        EXPECT_EQ(code, c.code);
        const RandomFaultCounts struck = board.device->RandomFaultsStruck();
        EXPECT_GE(struck.*c.struck, 1u);
        EXPECT_EQ(TotalStruck(struck), struck.*c.struck);  // no other kind struck
        std::vector<uint8_t> sector(512);
        ASSERT_TRUE(board.device->ReadSectors(300, 1, sector.data()));
        EXPECT_EQ(sector == data, c.stored);

        board.device->SetRandomFaults(RandomFaultRates{}, 0);
        EXPECT_EQ(board.pipes.IsPresent(kPath), c.backAfterMs == 0);
        board.clock.Advance(c.backAfterMs == kNever ? 600000 : c.backAfterMs);
        EXPECT_EQ(board.pipes.IsPresent(kPath), c.backAfterMs != kNever);
        if (c.backAfterMs != kNever) {  // back in step: the next command goes through
            ASSERT_EQ(board.comm.ZRU_ReadLBA(kPath, 0, 1, buf.data(), 0), 0);
            EXPECT_EQ(buf[510], 0x55);
        }
    }
}

TEST(RandomFaults, ABoardLostAtAResetComesBackWhenToldTo) {
    Board board;
    RandomFaultRates rates;
    rates.resetNeverReturns = 1;
    rates.lostBoardReturnMs = 20000;
    board.device->SetRandomFaults(rates, 5);
    ASSERT_EQ(board.comm.ZRU_ResetDevice(kPath, 1), 0);
    board.clock.Advance(19999);
    EXPECT_FALSE(board.pipes.IsPresent(kPath));
    board.clock.Advance(1);
    EXPECT_TRUE(board.pipes.IsPresent(kPath));
    EXPECT_EQ(board.device->RandomFaultsStruck().resetNeverReturns, 1u);
}

// Which of `commands` test-ready rounds got a status block with the wrong tag.
std::vector<bool> BadTagPattern(uint64_t seed, double p, int commands) {
    LoaderEmulator device;
    RandomFaultRates rates;
    rates.badTag = p;
    device.SetRandomFaults(rates, seed);
    std::vector<bool> pattern;
    for (int i = 0; i < commands; ++i) {
        uint8_t cbw[zr::kCommandBlockSize];
        zr::BuildCommandBlock(cbw, 0x00, static_cast<uint32_t>(i));
        uint8_t csw[zr::kStatusBlockSize] = {};
        EXPECT_EQ(device.BulkOut(cbw, sizeof cbw), 31);
        EXPECT_EQ(device.BulkIn(csw, sizeof csw), 13);
        pattern.push_back(zr::GetLe32(csw + zr::kCswTag) != static_cast<uint32_t>(i));
    }
    return pattern;
}

TEST(RandomFaults, OneSeedGivesEveryBoardItsOwnRepeatableStream) {
    const std::vector<bool> a = BadTagPattern(BoardFaultSeed(9, 0), 0.5, 200);
    EXPECT_EQ(a, BadTagPattern(BoardFaultSeed(9, 0), 0.5, 200));
    EXPECT_NE(a, BadTagPattern(BoardFaultSeed(9, 1), 0.5, 200));
    EXPECT_NE(a, BadTagPattern(BoardFaultSeed(10, 0), 0.5, 200));
    const auto hits = std::count(a.begin(), a.end(), true);
    EXPECT_GT(hits, 60);
    EXPECT_LT(hits, 140);
    const std::vector<bool> never = BadTagPattern(1, 0.0, 50);
    EXPECT_EQ(std::count(never.begin(), never.end(), true), 0);
}

TEST(RandomFaults, FaultSettingsAreParsedOrRefusedWithTheReason) {
    struct Case {
        const char* text;
        const char* reason;  // nullptr: accepted
        double RandomFaultRates::*rate;
        double value;
    };
    const Case cases[] = {
        {"status-lost=0.25", nullptr, &RandomFaultRates::statusLost, 0.25},
        {"unplug=1", nullptr, &RandomFaultRates::unplug, 1.0},
        {"reset-never-returns=0.02", nullptr, &RandomFaultRates::resetNeverReturns, 0.02},
        {"short-read=0", nullptr, &RandomFaultRates::shortRead, 0.0},
        {"bad-tag=1.000", nullptr, &RandomFaultRates::badTag, 1.0},
        {"unplug=1.5", "from 0 to 1", nullptr, 0},
        {"unplug=-0.1", "from 0 to 1", nullptr, 0},
        {"unplug=", "from 0 to 1", nullptr, 0},
        {"unplug=0.5x", "from 0 to 1", nullptr, 0},
        {"unplug=nan", "from 0 to 1", nullptr, 0},
        {"unplug=1e-1", "from 0 to 1", nullptr, 0},
        {"unplug", "NAME=P", nullptr, 0},
        {"=0.5", "unknown fault", nullptr, 0},
        {"Unplug=0.5", "unknown fault", nullptr, 0},
        {"jitter=0.1", "unknown fault", nullptr, 0},
        {"status-lost=0.10000000000000000000000000000000000000000000000000000001", "too long",
         nullptr, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        RandomFaultRates rates;
        rates.badTag = 0.75;  // a value to find unchanged
        std::string error;
        const bool ok = ParseRandomFault(c.text, &rates, &error);
        EXPECT_EQ(ok, c.reason == nullptr) << error;
        if (c.reason != nullptr) {
            EXPECT_NE(error.find(c.reason), std::string::npos) << error;
            EXPECT_EQ(rates.badTag, 0.75);
            EXPECT_EQ(rates.unplug, 0.0);
            EXPECT_EQ(rates.statusLost, 0.0);
        } else {
            EXPECT_EQ(rates.*c.rate, c.value);
        }
    }
}

class SimBoardFilesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("ks_boards_" + std::to_string(::getpid()));
        fs::remove_all(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    fs::path dir_;
};

// A board written through the transport, taken down, read back from its files and opened again;
// then the folder is tampered with.
TEST_F(SimBoardFilesTest, ABoardKeepsWhatItAcknowledgedAcrossLives) {
    const std::string dir = dir_.string();
    const DemoFacts facts = DemoLoaderFacts(3);
    std::vector<uint8_t> area(128 * 512);
    for (size_t i = 0; i < area.size(); ++i) {
        area[i] = static_cast<uint8_t>(i * 13 + 1);
    }
    std::vector<uint8_t> vendor(512);
    {
        FakeClock clock;
        LoaderEmulator device(LoaderConfig{}, clock);
        std::string error;
        ASSERT_TRUE(OpenSimBoard(device, dir, 3, &error)) << error;
        EmulatorPipes pipes(clock);
        pipes.Attach(kPath, device);
        CZRUsbComm comm(nullptr, 0, pipes, clock);
        ASSERT_EQ(comm.ZRU_WriteLBA(kPath, facts.keyAreaSector, 128, area.data(), 0), 0);
        // A keybox record in the vendor sector, taken out by the loader at its next start.
        ASSERT_EQ(comm.ZRU_ReadLBA(kPath, LoaderEmulator::kVendorSector, 1, vendor.data(), 0), 0);
        std::memcpy(vendor.data() + 252, "KBOX", 4);
        zr::PutLe32(vendor.data() + 260, 4);
        std::memcpy(vendor.data() + 280, "\x01\x02\x03\x04", 4);
        ASSERT_EQ(comm.ZRU_WriteLBA(kPath, LoaderEmulator::kVendorSector, 1, vendor.data(), 0), 0);
        ASSERT_EQ(comm.ZRU_ResetDevice(kPath, 1), 0);
        clock.Advance(device.Config().resetReturnDelayMs);
        ASSERT_TRUE(pipes.IsPresent(kPath));
        ASSERT_EQ(device.TakenKeyboxes().size(), 1u);
    }
    const SimBoardPaths paths = SimBoardFileNames(dir, 3);
    EXPECT_EQ(paths.image, dir + "/board-03.img");
    struct stat st {};
    ASSERT_EQ(::stat(paths.image.c_str(), &st), 0);
    EXPECT_EQ(static_cast<uint64_t>(st.st_size), uint64_t{kDemoDiskSectors} * 512);
    EXPECT_LT(static_cast<uint64_t>(st.st_blocks) * 512, 1024u * 1024u);  // sparse
    ASSERT_EQ(::stat(paths.vendor.c_str(), &st), 0);
    EXPECT_LT(static_cast<uint64_t>(st.st_blocks) * 512, 64u * 1024u);

    std::vector<SimBoardContent> boards;
    std::string error;
    ASSERT_TRUE(LoadSimBoardContents(dir, &boards, &error)) << error;
    ASSERT_EQ(boards.size(), 1u);
    EXPECT_EQ(boards[0].index, 3);
    // A serial number of its own, derived from the identity made with its image.
    const std::string ownSerial = boards[0].serial;
    EXPECT_EQ(ownSerial.size(), 18u) << ownSerial;
    EXPECT_EQ(ownSerial.rfind("KS", 0), 0u) << ownSerial;
    EXPECT_EQ(boards[0].miscKeyArea, area);
    EXPECT_EQ(std::memcmp(boards[0].vendorSector.data(), "VEND", 4), 0);
    EXPECT_TRUE(std::all_of(boards[0].vendorSector.begin() + 252, boards[0].vendorSector.end(),
                            [](uint8_t b) { return b == 0; }));  // the record was taken
    EXPECT_EQ(boards[0].item8Sector, std::vector<uint8_t>(512, 0));
    ASSERT_EQ(boards[0].taken.size(), 1u);
    EXPECT_EQ(boards[0].taken[0].key, (std::vector<uint8_t>{1, 2, 3, 4}));

    // The next life starts from the files as they are.
    {
        LoaderEmulator again;
        ASSERT_TRUE(OpenSimBoard(again, dir, 3, &error)) << error;
        std::vector<uint8_t> back(area.size());
        ASSERT_TRUE(again.ReadSectors(facts.keyAreaSector, 128, back.data()));
        EXPECT_EQ(back, area);
        EXPECT_EQ(again.TakenKeyboxes().size(), 1u);
        std::vector<uint8_t> serial;
        ASSERT_TRUE(again.GetItem(kDemoItemSerial, 0, &serial));
        EXPECT_EQ(std::string(serial.begin(), serial.end()), ownSerial);
        // Board 3 of another folder is another board: another serial number.
        LoaderEmulator elsewhere;
        ASSERT_TRUE(OpenSimBoard(elsewhere, dir + "/other", 3, &error)) << error;
        ASSERT_TRUE(elsewhere.GetItem(kDemoItemSerial, 0, &serial));
        EXPECT_NE(std::string(serial.begin(), serial.end()), ownSerial);
    }

    // Other names are ignored; a torn last record is left out; a link is not followed; a
    // damaged record is reported.
    std::ofstream(dir_ / "notes.txt") << "x";
    std::ofstream(dir_ / "board-1.img") << "x";
    std::ofstream(dir_ / "board-003.img") << "x";
    std::ofstream(paths.taken, std::ios::app) << "torn";
    ASSERT_TRUE(LoadSimBoardContents(dir, &boards, &error)) << error;
    ASSERT_EQ(boards.size(), 1u);
    EXPECT_EQ(boards[0].taken.size(), 1u);
    fs::create_symlink(paths.image, dir_ / "board-04.img");
    EXPECT_FALSE(LoadSimBoardContents(dir, &boards, &error));
    fs::remove(dir_ / "board-04.img");
    {
        std::fstream taken(paths.taken, std::ios::in | std::ios::out | std::ios::binary);
        taken.seekp(40);
        taken.put('\x7F');
    }
    error.clear();
    EXPECT_FALSE(LoadSimBoardContents(dir, &boards, &error));
    EXPECT_NE(error.find("damaged"), std::string::npos) << error;
    LoaderEmulator refused;
    EXPECT_FALSE(OpenSimBoard(refused, dir, 3, &error));
}

}  // namespace
