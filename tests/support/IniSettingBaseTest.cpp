#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <filesystem>
#include <string>
#include <vector>

#include "TempDir.h"
#include "support/FileSystem.h"
#include "support/IniSettingBase.h"
#include "support/TextCodec.h"

namespace {

class SettingsFile : public ::testing::Test {
  protected:
    // Loads settings from a config.ini with the given content.
    CIniSettingBase& LoadText(const std::string& text) {
        TempDir::Write(path_, text);
        EXPECT_TRUE(settings_.Load(path_));
        return settings_;
    }

    TempDir dir_;
    std::string path_ = dir_.File("config.ini");
    CIniSettingBase settings_;
};

TEST(DecimalParsing, ReadsLikeWcstolWithThirtyTwoBitLong) {
    EXPECT_EQ(ks::ParseDecimal(" \t 42"), 42);
    EXPECT_EQ(ks::ParseDecimal("-7x"), -7);
    EXPECT_EQ(ks::ParseDecimal("+3"), 3);
    EXPECT_EQ(ks::ParseDecimal("abc"), 0);
    EXPECT_EQ(ks::ParseDecimal(""), 0);
    EXPECT_EQ(ks::ParseDecimal("- 5"), 0);
    EXPECT_EQ(ks::ParseDecimal("99999999999999999999"), 2147483647);
    EXPECT_EQ(ks::ParseDecimal("-99999999999999999999"), -2147483647 - 1);
    EXPECT_EQ(ks::ParseDecimal("-2147483648"), -2147483647 - 1);
}

TEST(SettingsConstruction, StartsAtZeroWithDeviceTypeTen) {
    CIniSettingBase s;
    EXPECT_EQ(s.DeviceType, 10);
    EXPECT_EQ(s.LogLevel, 0);
    EXPECT_EQ(s.Document(), nullptr);
    EXPECT_TRUE(s.languageTable.empty());
}

TEST_F(SettingsFile, MissingFileGivesDefaultsAndSaveWritesLanguageThenSystem) {
    ASSERT_TRUE(settings_.Load(path_));
    EXPECT_EQ(settings_.LanKinds, 0);
    EXPECT_EQ(settings_.Selected, 1);  // 0 is outside 0..LanKinds-1
    EXPECT_EQ(settings_.LogLevel, 0);
    EXPECT_EQ(settings_.DeviceType, 10);
    EXPECT_TRUE(settings_.languageTable.empty());
    ASSERT_TRUE(settings_.Save(""));
    const std::string text = TempDir::Read(path_);
    EXPECT_EQ(text.rfind("[Language]\r\nSelected=1\r\n[System]\r\n", 0), 0u) << text;
    EXPECT_NE(text.find("\r\nWriteKeybox=0\r\n"), std::string::npos);
    EXPECT_EQ(text.find("Debug"), std::string::npos);  // not written back
    EXPECT_EQ(text.find("Jsonformat"), std::string::npos);
}

TEST_F(SettingsFile, LanguageTableAndRangeRules) {
    LoadText(
        "[Language]\r\nLangPath=lang/\r\nLanKinds=2\r\nLang1File=English.ini\r\n"
        "Lang1FontSize=300\r\nLang2File=Chinese.ini\r\nLang2FontSize=12\r\nSelected=5\r\n");
    EXPECT_EQ(settings_.LangPath, "lang/");
    ASSERT_EQ(settings_.languageTable.size(), 2u);
    EXPECT_EQ(settings_.languageTable[0].fileName, "English.ini");
    EXPECT_EQ(settings_.languageTable[0].fontSize, 1);
    EXPECT_EQ(settings_.languageTable[1].fileName, "Chinese.ini");
    EXPECT_EQ(settings_.languageTable[1].fontSize, 12);
    EXPECT_EQ(settings_.Selected, 1);
}

TEST_F(SettingsFile, OutOfRangeSelectedAndFontSizesAreReplaced) {
    LoadText("[Language]\nLanKinds=2\nLang1FontSize=0\nSelected=-1\n");
    EXPECT_EQ(settings_.Selected, 1);
    EXPECT_EQ(settings_.languageTable[0].fontSize, 1);
    EXPECT_EQ(settings_.languageTable[1].fontSize, 1);  // missing
    LoadText("[Language]\nLanKinds=2\nSelected=0\n");
    EXPECT_EQ(settings_.Selected, 0);
}

TEST_F(SettingsFile, HugeLanguageCountIsBounded) {
    LoadText("[Language]\nLanKinds=2147483647\nSelected=3\n");
    EXPECT_EQ(settings_.LanKinds, 2147483647);  // kept as read: only the table is bounded
    EXPECT_EQ(settings_.languageTable.size(),
              static_cast<std::size_t>(CIniSettingBase::kMaxLanguages));
    EXPECT_EQ(settings_.Selected, 3);
}

// ---- the operator's choices survive odd but valid files ----

// More languages than the table holds: the cap bounds what is allocated, not the choice.
TEST_F(SettingsFile, ASelectedLanguageBeyondTheTableCapIsKept) {
    LoadText("[Language]\nLanKinds=100\nSelected=80\n");
    EXPECT_EQ(settings_.Selected, 80);
    EXPECT_EQ(settings_.LanKinds, 100);
    EXPECT_EQ(settings_.languageTable.size(),
              static_cast<std::size_t>(CIniSettingBase::kMaxLanguages));
    ASSERT_TRUE(settings_.Save(path_));
    EXPECT_NE(TempDir::Read(path_).find("Selected=80"), std::string::npos);
}

// LanKinds - 1 overflowed for the smallest count (and the wrapped bound let any Selected pass).
TEST_F(SettingsFile, TheSmallestLanguageCountDoesNotOverflowTheRangeCheck) {
    LoadText("[Language]\nLanKinds=-2147483648\nSelected=0\n");
    EXPECT_EQ(settings_.LanKinds, INT32_MIN);
    EXPECT_TRUE(settings_.languageTable.empty());
    EXPECT_EQ(settings_.Selected, 1);
}

// A file that is there but cannot be read gives the defaults for this run, and is never written
// over with them: its language settings and everything else would be lost.
TEST_F(SettingsFile, AnExistingFileThatCannotBeReadIsNeverWrittenOver) {
    std::string big = "[Language]\r\nLanKinds=2\r\nSelected=1\r\n;";
    big.append(ks::kIniMaxFileBytes, 'x');
    TempDir::Write(path_, big);
    ASSERT_TRUE(settings_.Load(path_));
    EXPECT_TRUE(settings_.LoadedFileUnread());
    EXPECT_EQ(settings_.LanKinds, 0);  // defaults
    EXPECT_FALSE(settings_.Save(path_));
    EXPECT_EQ(TempDir::Read(path_), big);

    // A missing file is no such case: it is written at shutdown.
    CIniSettingBase fresh;
    const std::string missing = dir_.File("new.ini");
    ASSERT_TRUE(fresh.Load(missing));
    EXPECT_FALSE(fresh.LoadedFileUnread());
    EXPECT_TRUE(fresh.Save(missing));
}

// Start-up names the keys whose defaults are in use: a damaged file that switches WriteKeybox off
// would otherwise pass every board as "OK" with nothing written.
TEST_F(SettingsFile, KeysMissingOrOutOfRangeAreNamedInFileOrder) {
    LoadText(
        "[Language]\nLangPath=lang/\nLanKinds=1\nSelected=0\n[System]\nGetRkp=1\n"
        "DestPosition=9\nLogLevel=0\n");
    const std::vector<std::string>& keys = settings_.defaultedKeys;
    auto has = [&](const char* key) {
        return std::find(keys.begin(), keys.end(), key) != keys.end();
    };
    EXPECT_TRUE(has("WriteKeybox"));
    EXPECT_TRUE(has("DestPosition"));
    EXPECT_FALSE(has("GetRkp"));
    EXPECT_FALSE(has("Selected"));
    EXPECT_FALSE(has("LogLevel"));

    LoadText(TempDir::Read(KS_SOURCE_DIR "/data/config.ini"));
    EXPECT_TRUE(settings_.defaultedKeys.empty()) << settings_.defaultedKeys.front();
}

TEST_F(SettingsFile, SystemRangeRules) {
    struct Case {
        std::string text;
        int32_t logLevel, deviceType, destPosition, jsonformat;
    };
    const Case cases[] = {
        {"LogLevel=11\nDeviceType=15\nDestPosition=4\nJsonformat=3", 10, 10, 0, 0},
        {"LogLevel=-2\nDeviceType=\nDestPosition=-1\nJsonformat=2", 10, 10, 0, 2},
        {"LogLevel=-1\nDeviceType=20\nDestPosition=3\nJsonformat=-1", -1, 20, 3, 0},
        {"LogLevel = 3\n", 3, 10, 0, 0},  // " 3" reads as 3
    };
    for (const Case& c : cases) {
        LoadText("[System]\n" + c.text + "\n");
        EXPECT_EQ(settings_.LogLevel, c.logLevel) << c.text;
        EXPECT_EQ(settings_.DeviceType, c.deviceType) << c.text;
        EXPECT_EQ(settings_.DestPosition, c.destPosition) << c.text;
        EXPECT_EQ(settings_.Jsonformat, c.jsonformat) << c.text;
    }
}

TEST_F(SettingsFile, SectionsAndKeysMatchRegardlessOfCase) {
    LoadText("[SYSTEM]\nwritekeybox=1\n[system]\nGETRKP=2\nsavepath=/data/rkp/\n");
    EXPECT_EQ(settings_.WriteKeybox, 1);
    EXPECT_EQ(settings_.GetRkp, 1);  // any non-zero value is true
    EXPECT_EQ(settings_.SavePath, "/data/rkp/");
}

TEST_F(SettingsFile, EntriesBeforeTheFirstHeaderAreIgnored) {
    LoadText("LogLevel=5\nWriteKeybox=1\n");
    EXPECT_EQ(settings_.LogLevel, 0);
    EXPECT_EQ(settings_.WriteKeybox, 0);
}

TEST_F(SettingsFile, SaveSortsDropsCommentsKeepsUnsavedKeysAndNormalisesFlags) {
    LoadText(
        "; station settings\r\n[System]\r\nSingleRW=7\r\nDebug= 07\r\nJsonformat=abc\r\n"
        "Vendor=Extra\r\n[Language]\r\nLanKinds=0\r\n");
    settings_.WriteKeybox = 1;
    settings_.SavePath = "/srv/rkp/";
    ASSERT_TRUE(settings_.Save("ignored-when-loaded"));
    const std::string text = TempDir::Read(path_);
    EXPECT_EQ(text,
              "[Language]\r\nLanKinds=0\r\nSelected=1\r\n"
              "[System]\r\nCheckCRC=0\r\nCompat1Rw=0\r\nCompat2Rw=0\r\nDebug= 07\r\n"
              "DestPosition=0\r\nDeviceType=10\r\nForceMskrom=0\r\nForceWrite=0\r\n"
              "GetRkp=0\r\nJsonformat=abc\r\nLoaderPath=\r\nLockConfig=0\r\nLogLevel=0\r\n"
              "LogPath=\r\nRebootDevice=0\r\nResetAfterWrite=0\r\nRPMB=0\r\n"
              "SavePath=/srv/rkp/\r\nSetLoader=0\r\nSingleRW=1\r\nSupportAdb=0\r\n"
              "Vendor=Extra\r\nWriteKeybox=1\r\n");
    EXPECT_FALSE(std::filesystem::exists(dir_.File("ignored-when-loaded")));
}

TEST_F(SettingsFile, GbkFileWithChineseValuesRoundTripsByteForByte) {
    // Canonical form: sorted, CR LF, every saved key present, flags as 0/1.
    const std::string utf8 =
        "[Language]\r\nLang1File=\xE8\x8B\xB1\xE6\x96\x87.ini\r\nLang1FontSize=9\r\n"
        "Lang2File=\xE4\xB8\xAD\xE6\x96\x87.ini\r\nLang2FontSize=9\r\n"
        "LangPath=\xE8\xAF\xAD\xE8\xA8\x80/\r\nLanKinds=2\r\nSelected=1\r\n"
        "[System]\r\nCheckCRC=0\r\nCompat1Rw=0\r\nCompat2Rw=0\r\nDebug=0\r\n"
        "DestPosition=2\r\nDeviceType=20\r\nForceMskrom=0\r\nForceWrite=1\r\nGetRkp=1\r\n"
        "Jsonformat=1\r\nLoaderPath=\r\nLockConfig=0\r\nLogLevel=-1\r\n"
        "LogPath=\xE6\x97\xA5\xE5\xBF\x97\r\nRebootDevice=0\r\nResetAfterWrite=1\r\nRPMB=0\r\n"
        "SavePath=/data/\xE5\xAF\x86\xE9\x92\xA5 \xE6\x95\xB0\xE6\x8D\xAE/\r\nSetLoader=0\r\n"
        "SingleRW=0\r\nSupportAdb=0\r\nWriteKeybox=1\r\n";
    const std::string gbk = ks::Utf8ToGbk(utf8);
    ASSERT_EQ(ks::GbkToUtf8(gbk), utf8);
    LoadText(gbk);
    EXPECT_EQ(settings_.LangPath, "\xE8\xAF\xAD\xE8\xA8\x80/");
    EXPECT_EQ(settings_.languageTable[1].fileName, "\xE4\xB8\xAD\xE6\x96\x87.ini");
    EXPECT_EQ(settings_.SavePath, "/data/\xE5\xAF\x86\xE9\x92\xA5 \xE6\x95\xB0\xE6\x8D\xAE/");
    ASSERT_TRUE(settings_.Save(""));
    EXPECT_EQ(TempDir::Read(path_), gbk);
}

TEST_F(SettingsFile, ShippedDefaultConfigSelectsEnglish) {
    ASSERT_TRUE(settings_.Load(KS_SOURCE_DIR "/data/config.ini"));
    ASSERT_EQ(settings_.languageTable.size(), 2u);
    EXPECT_EQ(settings_.Selected, 0);
    EXPECT_EQ(settings_.LangPath + settings_.languageTable[0].fileName, "lang/English.ini");
    EXPECT_EQ(settings_.LogLevel, 0);
    EXPECT_EQ(settings_.GetRkp, 1);
    EXPECT_EQ(settings_.WriteKeybox, 1);
    EXPECT_EQ(settings_.DestPosition, 0);
    EXPECT_EQ(settings_.SavePath, "");
    // The shipped file is already in the form Save writes.
    CIniSettingBase copy;
    const std::string shipped = TempDir::Read(KS_SOURCE_DIR "/data/config.ini");
    TempDir::Write(path_, shipped);
    ASSERT_TRUE(copy.Load(path_));
    ASSERT_TRUE(copy.Save(""));
    EXPECT_EQ(TempDir::Read(path_), shipped);
}

TEST_F(SettingsFile, SaveToUnwritablePlaceFails) {
    CIniSettingBase s;
    ASSERT_TRUE(s.Load(dir_.File("missing-folder/config.ini")));
    EXPECT_FALSE(s.Save(""));
}

TEST(SettingsKeyAddressing, KeyWithSectionIsStickyForLaterBareKeys) {
    TempDir dir;
    TempDir::Write(dir.File("c.ini"), "[A]\nk=a\n[B]\nk=b\n");
    CIniSettingBase s;
    ASSERT_TRUE(s.Load(dir.File("c.ini")));
    EXPECT_EQ(s.GetValue("k"), "");  // no section yet
    EXPECT_EQ(s.GetValue("A:k"), "a");
    EXPECT_EQ(s.GetValue("k"), "a");
    EXPECT_EQ(s.GetValue("B:k"), "b");
    EXPECT_EQ(s.GetValue("k"), "b");
    EXPECT_EQ(s.GetValue("Missing:k"), "");
    EXPECT_EQ(s.GetValue("k"), "");  // a missing section clears the current one
    EXPECT_FALSE(s.SetValue("k", "x"));
    EXPECT_TRUE(s.SetValue("New:x:y", "1"));  // keys may contain ':' after the first one
    EXPECT_EQ(s.GetValue("New:x:y"), "1");
    EXPECT_FALSE(s.SetValue("New:", "1"));
    EXPECT_EQ(s.GetIntValue("A:k", 9), 0);
    EXPECT_EQ(s.GetIntValue("A:none", 9), 9);
    EXPECT_EQ(s.GetIntValueFormat(5, "Lang%dFile", 1), 5);
}

}  // namespace

// An operator who keeps config.ini elsewhere and links it into the station's folder keeps the
// link: the file it leads to is replaced (mode kept), not the link by a regular file.
TEST(SettingsSave, ThroughASymbolicLinkTheLinkedFileIsReplacedAndTheLinkStays) {
    TempDir dir;
    const std::string real = dir.File("kept.ini");
    const std::string link = dir.File("config.ini");
    TempDir::Write(real, "[Language]\r\nLanKinds=1\r\nSelected=0\r\n");
    ASSERT_EQ(::chmod(real.c_str(), 0600), 0);
    ASSERT_EQ(::symlink("kept.ini", link.c_str()), 0);

    CIniSettingBase settings;
    ASSERT_TRUE(settings.Load(link));
    settings.SavePath = "/srv/rkp/";
    ASSERT_TRUE(settings.Save(link));

    struct stat st {};
    ASSERT_EQ(::lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(::stat(real.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_NE(TempDir::Read(real).find("SavePath=/srv/rkp/"), std::string::npos);
    // Nothing but the two names is left in the folder (no temporary file).
    size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.Path())) {
        ++entries;
    }
    EXPECT_EQ(entries, 2u);
}

// An editor saved config.ini as UTF-8 with its mark: it is written back so, not as code page 936
// (which would turn its Chinese text into other characters for the editor).
TEST(SettingsSave, AUtf8FileWithItsMarkIsWrittenBackAsUtf8) {
    TempDir dir;
    const std::string path = dir.File("config.ini");
    const std::string text = "\xEF\xBB\xBF[System]\r\nSavePath=/srv/\xE5\xAF\x86\xE9\x92\xA5/\r\n";
    TempDir::Write(path, text);
    CIniSettingBase settings;
    ASSERT_TRUE(settings.Load(path));
    EXPECT_EQ(settings.SavePath, "/srv/\xE5\xAF\x86\xE9\x92\xA5/");
    ASSERT_TRUE(settings.Save(path));
    const std::string saved = TempDir::Read(path);
    EXPECT_EQ(saved.substr(0, 3), "\xEF\xBB\xBF");
    EXPECT_NE(saved.find("SavePath=/srv/\xE5\xAF\x86\xE9\x92\xA5/\r\n"), std::string::npos);
    CIniSettingBase again;
    ASSERT_TRUE(again.Load(path));
    EXPECT_EQ(again.SavePath, settings.SavePath);
}

// A line too long to be taken would vanish at the next save: the file is left alone instead, and
// the line number is there for start-up to name.
TEST(SettingsSave, AFileWithALineTooLongToTakeIsNotWrittenOver) {
    TempDir dir;
    const std::string path = dir.File("config.ini");
    const std::string text =
        "[System]\r\nGetRkp=1\r\nNote=" + std::string(ks::kIniMaxLineBytes, 'n') +
        "\r\nWriteKeybox=1\r\n";
    TempDir::Write(path, text);
    CIniSettingBase settings;
    ASSERT_TRUE(settings.Load(path));
    EXPECT_EQ(settings.FirstOverlongLine(), 3u);
    EXPECT_EQ(settings.GetRkp, 1);
    EXPECT_EQ(settings.WriteKeybox, 1);
    EXPECT_FALSE(settings.Save(path));
    EXPECT_EQ(TempDir::Read(path), text);
}
