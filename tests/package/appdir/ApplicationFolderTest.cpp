// The application directory: which folder a program chooses (build tree, installed, --home, the
// XDG rules), and how it is given the shipped defaults without touching what an operator already
// has there and without following a link out of either folder.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "platform/machine/StationMachine.h"
#include "support/Paths.h"
#include "tests/common/StationHome.h"

namespace {

namespace fs = std::filesystem;
using station_fixture::ReadText;
using station_fixture::WriteText;

class ApplicationFolder : public ::testing::Test {
  protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() / ("ks_appdir_" + std::to_string(::getpid()));
        fs::remove_all(root_);
        fs::create_directories(root_);
    }
    void TearDown() override { fs::remove_all(root_); }
    std::string Folder(const std::string& relative) const {
        return (root_ / relative).string() + "/";
    }
    static unsigned Mode(const fs::path& p) {
        struct stat st {};
        return ::lstat(p.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
    }

    fs::path root_;
};

TEST_F(ApplicationFolder, BuildTreeKeepsTheExecutablesFolderInstalledUsesTheOperatorsOwn) {
    const std::string user = "/home/op/.local/share/";

    // Run from the build tree: the data folder beside the program decides.
    fs::create_directories(root_ / "build/tools/cli/data");
    ApplicationFolders f = ChooseApplicationFolders("", Folder("build/tools/cli"), user);
    EXPECT_EQ(f.appDir, Folder("build/tools/cli"));
    EXPECT_EQ(f.defaults, Folder("build/tools/cli/data"));
    EXPECT_FALSE(f.perOperator);

    // Installed: the defaults in ../share/keystation, the operator's folder under XDG.
    fs::create_directories(root_ / "usr/bin");
    fs::create_directories(root_ / "usr/share/keystation");
    f = ChooseApplicationFolders("", Folder("usr/bin"), user);
    EXPECT_EQ(f.appDir, user + "keystation/");
    EXPECT_EQ(f.defaults, Folder("usr/share/keystation"));
    EXPECT_TRUE(f.perOperator);

    // --home wins, and is still given the installed defaults.
    f = ChooseApplicationFolders(Folder("station"), Folder("usr/bin"), user);
    EXPECT_EQ(f.appDir, Folder("station"));
    EXPECT_EQ(f.defaults, Folder("usr/share/keystation"));
    EXPECT_FALSE(f.perOperator);

    // Installed, but no folder of the operator's can be named: nothing is chosen, and seeding
    // says why instead of writing beside the program.
    f = ChooseApplicationFolders("", Folder("usr/bin"), "");
    EXPECT_EQ(f.appDir, "");
    std::string error;
    EXPECT_FALSE(SeedApplicationDirectory(f, &error));
    EXPECT_NE(error.find("--home"), std::string::npos) << error;
    EXPECT_EQ(fs::directory_iterator(root_ / "usr/bin"), fs::directory_iterator());

    // Neither layout: the executable's folder, nothing to seed.
    fs::create_directories(root_ / "opt/tool");
    f = ChooseApplicationFolders("", Folder("opt/tool"), user);
    EXPECT_EQ(f.appDir, Folder("opt/tool"));
    EXPECT_EQ(f.defaults, "");

    // The XDG rules: an absolute XDG_DATA_HOME, else HOME's .local/share; relative values and
    // empty ones do not count.
    EXPECT_EQ(ks::UserDataFolder("/data/op", "/home/op"), "/data/op/");
    EXPECT_EQ(ks::UserDataFolder("relative/data", "/home/op/"), "/home/op/.local/share/");
    EXPECT_EQ(ks::UserDataFolder("", "/home/op"), "/home/op/.local/share/");
    EXPECT_EQ(ks::UserDataFolder(nullptr, "relative"), "");
    EXPECT_EQ(ks::UserDataFolder(nullptr, nullptr), "");
}

TEST_F(ApplicationFolder, SeedingAddsOnlyWhatIsMissingAndNeverFollowsALink) {
    // The shipped defaults, with links that lead out of the folder.
    const fs::path shared = root_ / "share/keystation";
    fs::create_directories(shared / "lang/region");
    WriteText(shared / "config.ini", "[System]\nGetRkp=1\n");
    WriteText(shared / "devices.ini", "[Vendor]\n");
    WriteText(shared / "lang/English.ini", "[LANG]\n");
    WriteText(shared / "lang/region/Chinese.ini", "[LANG]\n");
    WriteText(root_ / "secret.txt", "not a default");
    fs::create_symlink(root_ / "secret.txt", shared / "lang/Secret.ini");
    fs::create_directory_symlink(root_, shared / "lang/up");
    ::chmod((shared / "devices.ini").c_str(), 0640);

    // First start: every missing level is made, private; every default copied whole.
    const ApplicationFolders f{Folder("home/.local/share/keystation"), shared.string() + "/", true};
    std::string error;
    ASSERT_TRUE(SeedApplicationDirectory(f, &error)) << error;
    const fs::path dir = f.appDir;
    for (const fs::path& level :
         {root_ / "home", root_ / "home/.local", root_ / "home/.local/share", dir.parent_path()}) {
        EXPECT_EQ(Mode(level), 0700u) << level;
    }
    EXPECT_EQ(ReadText(dir / "config.ini"), "[System]\nGetRkp=1\n");
    EXPECT_EQ(ReadText(dir / "devices.ini"), "[Vendor]\n");
    EXPECT_EQ(Mode(dir / "devices.ini"), 0640u);
    EXPECT_EQ(ReadText(dir / "lang/English.ini"), "[LANG]\n");
    EXPECT_EQ(ReadText(dir / "lang/region/Chinese.ini"), "[LANG]\n");
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "lang/Secret.ini")));
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "lang/up")));
    int entries = 0;
    for (const fs::directory_entry& e : fs::directory_iterator(dir)) {
        EXPECT_EQ(e.path().filename().string().find(".seed-"), std::string::npos) << e.path();
        ++entries;
    }
    EXPECT_EQ(entries, 3);

    // Later starts: the operator's edit stays, a link planted where a default was is neither
    // replaced nor written through, a removed folder comes back past a stale half-made copy.
    WriteText(dir / "config.ini", "[System]\nGetRkp=0\n");
    fs::remove(dir / "devices.ini");
    fs::create_symlink(root_ / "planted.ini", dir / "devices.ini");
    fs::remove_all(dir / "lang");
    fs::create_directory(dir / ".lang.seed-Ab12Cd");
    ASSERT_TRUE(SeedApplicationDirectory(f, &error)) << error;
    EXPECT_EQ(ReadText(dir / "config.ini"), "[System]\nGetRkp=0\n");
    EXPECT_TRUE(fs::is_symlink(dir / "devices.ini"));
    EXPECT_FALSE(fs::exists(root_ / "planted.ini"));
    EXPECT_EQ(ReadText(dir / "lang/English.ini"), "[LANG]\n");
    EXPECT_EQ(ReadText(root_ / "secret.txt"), "not a default");

    // A folder that cannot be made is reported with the level that failed.
    WriteText(root_ / "blocked", "");
    const ApplicationFolders blocked{Folder("blocked/keystation"), shared.string() + "/", false};
    std::string why;
    EXPECT_FALSE(SeedApplicationDirectory(blocked, &why));
    EXPECT_NE(why.find((root_ / "blocked").string()), std::string::npos) << why;
}

}  // namespace
