// The one command line of the three programs: the same arguments read the same way by each, the
// same refusals, and one help text that names what a program does not take.
#include "app/StationArguments.h"

#include "app/PracticeKeys.h"

#include <gtest/gtest.h>

namespace {

constexpr StationProgram kPrograms[] = {StationProgram::kQtWindow, StationProgram::kWin32Window,
                                        StationProgram::kConsole};

bool Parse(StationProgram program, std::vector<std::string> args, StationArguments* out,
           std::string* error) {
    args.insert(args.begin(), "keystation");
    return ParseStationArguments(args, program, out, error);
}

}  // namespace

TEST(StationArguments, EveryProgramReadsTheSameOptionsTheSameWay) {
    for (StationProgram program : kPrograms) {
        StationArguments o;
        std::string error;
        ASSERT_TRUE(Parse(program, {}, &o, &error)) << error;
        EXPECT_TRUE(o.home.empty());
        EXPECT_EQ(o.simulate, -1);
        EXPECT_FALSE(o.keyFile || o.keyPool || o.start || o.help);

        ASSERT_TRUE(Parse(program,
                          {"--home",
                           "/srv/station one",
                           "--kdb=/keys/a.kdb",
                           "--simulate",
                           "64",
                           "--sim-state",
                           "/tmp/boards",
                           "--sim-fault",
                           "status-lost=0.25",
                           "--sim-fault=unplug=0.5",
                           "--sim-seed",
                           "18446744073709551615",
                           "--sim-revive-ms",
                           "3600000",
                           "--start",
                           "--dest",
                           "3",
                           "--rkp",
                           "0",
                           "--keybox",
                           "1",
                           "--reset-after-write",
                           "0",
                           "--save-path",
                           "/rkp"},
                          &o, &error))
            << error;
        EXPECT_EQ(o.home, "/srv/station one");
        EXPECT_EQ(o.keyFile.value_or(""), "/keys/a.kdb");
        EXPECT_EQ(o.simulate, kMaxSimulatedBoards);
        EXPECT_EQ(o.sim.stateDir, "/tmp/boards");
        EXPECT_EQ(o.sim.faults.statusLost, 0.25);
        EXPECT_EQ(o.sim.faults.unplug, 0.5);
        EXPECT_EQ(o.sim.seed, UINT64_MAX);
        EXPECT_EQ(o.sim.faults.lostBoardReturnMs, kMaxReviveMs);
        EXPECT_TRUE(o.start);
        EXPECT_EQ(o.run.destPosition, 3);
        EXPECT_EQ(o.run.getRkp, 0);
        EXPECT_EQ(o.run.writeKeybox, 1);
        EXPECT_EQ(o.run.resetAfterWrite, 0);
        EXPECT_EQ(o.run.savePath.value_or(""), "/rkp");

        ASSERT_TRUE(Parse(program,
                          {"--key-pool", "host=db", "--pool", "line1", "--pool-wrap-key", "/k",
                           "--insecure-pool-connection"},
                          &o, &error))
            << error;
        EXPECT_EQ(o.keyPool.value_or(""), "host=db");
        EXPECT_EQ(o.poolName.value_or(""), "line1");
        EXPECT_EQ(o.poolWrapKey, "/k");
        EXPECT_TRUE(o.insecurePool);

        // --help wins over anything else, a bad option included.
        ASSERT_TRUE(Parse(program, {"--bogus", "--help"}, &o, &error));
        EXPECT_TRUE(o.help);
    }
}

TEST(StationArguments, BadValuesRepeatsAndMissingCompanionsAreRefusedWithTheReason) {
    const std::pair<std::vector<std::string>, const char*> cases[] = {
        {{"stray"}, "unexpected argument"},
        {{"-x"}, "unexpected argument"},
        {{"--bogus"}, "unknown option"},
        {{"--simulate"}, "needs a value"},
        {{"--simulate", "-1"}, "takes 0..64"},
        {{"--simulate", "65"}, "takes 0..64"},
        {{"--simulate", "4x"}, "takes 0..64"},
        {{"--simulate", ""}, "takes 0..64"},
        {{"--home", ""}, "needs a folder"},
        {{"--kdb", ""}, "needs a file"},
        {{"--home", "/a", "--home", "/b"}, "more than once"},
        {{"--start=1"}, "takes no value"},
        {{"--sim-fault", "unplug=0.5"}, "need --simulate"},
        {{"--simulate", "1", "--sim-fault", "unplug=2"}, "from 0 to 1"},
        {{"--simulate", "1", "--sim-fault", "wobble=0.1"}, "unknown fault"},
        {{"--simulate", "1", "--sim-seed", "-3"}, "--sim-seed takes"},
        {{"--simulate", "1", "--sim-seed", "18446744073709551616"}, "--sim-seed takes"},
        {{"--simulate", "1", "--sim-revive-ms", "x"}, "--sim-revive-ms takes"},
        {{"--dest", "4"}, "--dest takes 0..3"},
        {{"--rkp", "2"}, "--rkp takes 0..1"},
        {{"--key-pool", "host=db"}, "needs --pool"},
        {{"--kdb", "/a.kdb", "--key-pool", "h", "--pool", "p"}, "not --kdb"},
    };
    for (StationProgram program : kPrograms) {
        for (const auto& [args, reason] : cases) {
            StationArguments o;
            std::string error;
            EXPECT_FALSE(Parse(program, args, &o, &error)) << args[0];
            EXPECT_NE(error.find(reason), std::string::npos) << args[0] << ": " << error;
        }
    }
    StationArguments o;
    std::string error;
    EXPECT_FALSE(Parse(StationProgram::kConsole, {"--until-idle"}, &o, &error));
    EXPECT_NE(error.find("needs --start"), std::string::npos) << error;
    EXPECT_TRUE(Parse(StationProgram::kConsole, {"--start", "--until-idle", "--json", "--list"}, &o,
                      &error))
        << error;
}

TEST(StationArguments, AWindowRefusesTheConsolesOwnOptionsAndItsHelpSaysWhy) {
    for (StationProgram window : {StationProgram::kQtWindow, StationProgram::kWin32Window}) {
        for (const char* option : {"--json", "--list", "--until-idle"}) {
            StationArguments o;
            std::string error;
            EXPECT_FALSE(Parse(window, {option}, &o, &error)) << option;
            EXPECT_NE(error.find("not an option of keystation"), std::string::npos) << error;
        }
        const std::string help = StationHelp(window);
        const size_t refused = help.find("Not taken by keystation");
        ASSERT_NE(refused, std::string::npos) << help;
        EXPECT_NE(help.find("--json", refused), std::string::npos);
        EXPECT_NE(help.find("a window stays until the operator closes it", refused),
                  std::string::npos);
        EXPECT_EQ(help.find("--start", refused), std::string::npos);
    }
    // One help text: every option the console takes is in it, and the windows' names the same
    // options before their refusals.
    const std::string console = StationHelp(StationProgram::kConsole);
    for (const char* option :
         {"--home", "--kdb", "--key-pool", "--pool", "--pool-wrap-key", "--simulate", "--sim-state",
          "--sim-fault", "--sim-seed", "--sim-revive-ms", "--start", "--dest", "--rkp", "--keybox",
          "--reset-after-write", "--save-path", "--json", "--list", "--help"}) {
        EXPECT_NE(console.find(option), std::string::npos) << option;
        EXPECT_NE(StationHelp(StationProgram::kWin32Window).find(option), std::string::npos)
            << option;
    }
    EXPECT_EQ(console.find("Not taken"), std::string::npos) << console;
}

TEST(StationArguments, PracticeKeepsItsOwnFolderAndTakesProductionKeysOnlyWhenTold) {
    StationArguments o;
    std::string error;
    ASSERT_TRUE(Parse(StationProgram::kQtWindow, {"--simulate", "4"}, &o, &error)) << error;
    EXPECT_FALSE(o.practiceWithProductionKeys);
    // Practice without --home: "practice" inside production's folder; production and an
    // explicit --home stay where they are.
    EXPECT_EQ(WindowStationFolder(o, "/home/op/.local/share/keystation/"),
              "/home/op/.local/share/keystation/practice/");
    EXPECT_EQ(WindowStationFolder(o, "C:\\Station\\"), "C:\\Station\\practice\\");
    EXPECT_EQ(WindowStationFolder(o, ""), "");
    StationArguments production;
    EXPECT_EQ(WindowStationFolder(production, "/srv/keys/"), "/srv/keys/");
    ASSERT_TRUE(Parse(
        StationProgram::kWin32Window,
        {"--simulate", "2", "--home", "/srv/drill", "--practice-with-production-keys"}, &o, &error))
        << error;
    EXPECT_TRUE(o.practiceWithProductionKeys);
    EXPECT_EQ(WindowStationFolder(o, "/srv/drill/"), "/srv/drill/");

    // Only with simulated boards.
    EXPECT_FALSE(Parse(StationProgram::kQtWindow, {"--practice-with-production-keys"}, &o, &error));
    EXPECT_EQ(error, "--practice-with-production-keys needs --simulate N");
    EXPECT_NE(StationHelp(StationProgram::kQtWindow).find("--practice-with-production-keys"),
              std::string::npos);
}
