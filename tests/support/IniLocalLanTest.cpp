#include <gtest/gtest.h>

#include <string>

#include "FakeDialog.h"
#include "TempDir.h"
#include "support/IniLocalLan.h"
#include "support/IniSettingBase.h"
#include "support/LanguageKeys.h"
#include "support/TextCodec.h"

namespace {

class LanguageFile : public ::testing::Test {
  protected:
    bool LoadText(const std::string& text) {
        return TempDir::Write(path_, text) && lan_.Load(path_);
    }

    TempDir dir_;
    std::string path_ = dir_.File("English.ini");
    CIniLocalLan lan_;
};

TEST(LanguageNotLoaded, GetTextReturnsTheKeyItself) {
    CIniLocalLan lan;
    EXPECT_EQ(lan.GetText("IDS_START_BUTTON"), "IDS_START_BUTTON");
    EXPECT_EQ(lan.GetText("LANG:IDS_TEXT_APPNAME"), "LANG:IDS_TEXT_APPNAME");
    FakeDialog window;
    window.Add(1000, DialogControlKind::Button);
    EXPECT_FALSE(lan.ApplyDialogTexts(window));
    EXPECT_EQ(window.title, "built-in title");
    EXPECT_EQ(window.texts[1000], "built-in");
}

TEST_F(LanguageFile, MissingFileFailsAndLeavesNothingLoaded) {
    EXPECT_FALSE(lan_.Load(dir_.File("nope.ini")));
    EXPECT_FALSE(lan_.IsLoaded());
    EXPECT_EQ(lan_.Document(), nullptr);
    EXPECT_EQ(lan_.GetText("IDS_GET_KEY"), "IDS_GET_KEY");
}

TEST_F(LanguageFile, TextSectionIsStickyAndIndependentOfValueSection) {
    ASSERT_TRUE(LoadText("[prompt]\nIDS_GET_KEY=Getting key\n[Other]\nIDS_GET_KEY=other\n"));
    EXPECT_EQ(lan_.GetText("IDS_GET_KEY"), "");  // no text section yet
    EXPECT_EQ(lan_.GetText("PROMPT:IDS_TEXT_APPNAME"), "");
    EXPECT_EQ(lan_.GetText("IDS_GET_KEY"), "Getting key");  // lower-case header still serves
    EXPECT_EQ(lan_.GetText("ids_get_key"), "Getting key");
    EXPECT_EQ(lan_.GetValue("Other:IDS_GET_KEY"), "other");
    EXPECT_EQ(lan_.GetText("IDS_GET_KEY"), "Getting key");  // GetValue did not move it
    EXPECT_EQ(lan_.GetText("Missing:IDS_GET_KEY"), "");
    EXPECT_EQ(lan_.GetText("IDS_GET_KEY"), "");  // a missing section empties the text section
}

TEST_F(LanguageFile, GetValueWithDefault) {
    ASSERT_TRUE(LoadText("[S]\nA=1\n"));
    EXPECT_EQ(lan_.GetValue("S:A", "d"), "1");
    EXPECT_EQ(lan_.GetValue("S:B", "d"), "");  // section exists without the entry
    EXPECT_EQ(lan_.GetValue("T:A", "d"), "d");
    EXPECT_EQ(lan_.GetValue("S:", "d"), "d");
    CIniLocalLan empty;
    EXPECT_EQ(empty.GetValue("S:A", "d"), "d");
}

TEST_F(LanguageFile, ApplyDialogTextsFillsButtonsLabelsAndColumns) {
    ASSERT_TRUE(
        LoadText("[LANG]\nIDS_TEXT_APPNAME=Station\n"
                 "[DIALOG_102]\nBUTTON_1000=Key File\nLABEL_1003=Success:\n"
                 "LISTVIEW_1016_Header_0=Slot\nLISTVIEW_1016_Header_1=Port\n"
                 "LISTVIEW_1016_Header_4=" +
                 std::string(300, 'h') +
                 "\n"
                 "BUTTON_1018=edit text must stay\n"));
    FakeDialog window;
    window.Add(1000, DialogControlKind::Button);
    window.Add(1003, DialogControlKind::Label);
    window.Add(1009, DialogControlKind::Label);  // no key: emptied
    window.Add(1018, DialogControlKind::Other, "edit");
    window.Add(0, DialogControlKind::Label, "no number");
    window.Add(1016, DialogControlKind::ListView, "", 5);
    ASSERT_TRUE(lan_.ApplyDialogTexts(window));
    EXPECT_EQ(window.title, "Station V1.55");
    EXPECT_EQ(window.texts[1000], "Key File");
    EXPECT_EQ(window.texts[1003], "Success:");
    EXPECT_EQ(window.texts[1009], "");
    EXPECT_EQ(window.texts[1018], "edit");
    EXPECT_EQ(window.texts[0], "no number");
    ASSERT_EQ(window.columnTitles.size(), 5u);
    EXPECT_EQ((window.columnTitles[{1016, 0}]), "Slot");
    EXPECT_EQ((window.columnTitles[{1016, 1}]), "Port");
    EXPECT_EQ((window.columnTitles[{1016, 2}]), "");
    EXPECT_EQ((window.columnTitles[{1016, 4}]), std::string(259, 'h'));
}

TEST_F(LanguageFile, WithoutLangSectionTitleIsOnlyTheVersion) {
    ASSERT_TRUE(LoadText("[DIALOG_102]\nBUTTON_1000=x\n"));
    FakeDialog window;
    ASSERT_TRUE(lan_.ApplyDialogTexts(window));
    EXPECT_EQ(window.title, " V1.55");
}

TEST_F(LanguageFile, SaveWritesDocumentOrEmptyFileInNewFolders) {
    CIniLocalLan fresh;
    EXPECT_FALSE(fresh.Save(""));
    const std::string nested = dir_.File("a/b/c/lang.ini");
    ASSERT_TRUE(fresh.Save(nested));
    EXPECT_TRUE(std::filesystem::exists(TempDir::FsPath(nested)));
    EXPECT_EQ(TempDir::Read(nested), "");

    ASSERT_TRUE(LoadText("[S]\nb=2\na=1\n"));
    ASSERT_TRUE(lan_.Save(""));
    EXPECT_EQ(TempDir::Read(path_), "[S]\r\na=1\r\nb=2\r\n");
}

// The language files shipped with the station.
class ShippedLanguage : public ::testing::TestWithParam<const char*> {};

TEST_P(ShippedLanguage, ProvidesEveryKeyWithText) {
    CIniLocalLan lan;
    ASSERT_TRUE(lan.Load(std::string(KS_SOURCE_DIR "/data/lang/") + GetParam()));
    EXPECT_FALSE(lan.GetText("LANG:IDS_TEXT_APPNAME").empty());
    lan.GetText("PROMPT:IDS_TEXT_APPNAME");
    for (std::string_view key : lang::kPromptKeys) {
        EXPECT_FALSE(lan.GetText(key).empty()) << key;
        EXPECT_EQ(lan.GetText(key).find('%'), std::string::npos) << key;
    }
    lan.GetValue(std::string(lang::kMainWindowSection) + ":DIALOG_TITLE");
    for (std::string_view key : lang::kMainWindowKeys) {
        EXPECT_FALSE(lan.GetValue(key).empty()) << key;
    }
    for (int id : lang::kCaptionLabels) {
        const std::string caption =
            lan.GetValue(std::string(lang::kMainWindowSection) + ":LABEL_" + std::to_string(id));
        ASSERT_FALSE(caption.empty());
        EXPECT_EQ(caption.back(), ':') << id;
    }
}

TEST_P(ShippedLanguage, AppliesToTheMainWindow) {
    CIniLocalLan lan;
    ASSERT_TRUE(lan.Load(std::string(KS_SOURCE_DIR "/data/lang/") + GetParam()));
    FakeDialog window(lang::kMainWindowId);
    for (int id : {1000, 1001, 1002, 1017}) {
        window.Add(id, DialogControlKind::Button);
    }
    for (int id : {1003, 1004, 1005, 1006, 1007, 1008, 1009, 1010, 1012, 1014}) {
        window.Add(id, DialogControlKind::Label);
    }
    window.Add(1016, DialogControlKind::ListView, "", 3);
    ASSERT_TRUE(lan.ApplyDialogTexts(window));
    EXPECT_GT(window.title.size(), CIniLocalLan::kTitleSuffix.size());
    for (const auto& [id, text] : window.texts) {
        if (id != 1016) {
            EXPECT_FALSE(text.empty()) << id;
        }
    }
    for (int column = 0; column < 3; ++column) {
        EXPECT_FALSE((window.columnTitles[{1016, column}]).empty()) << column;
    }
}

INSTANTIATE_TEST_SUITE_P(Files, ShippedLanguage, ::testing::Values("English.ini", "Chinese.ini"));

TEST(ShippedChineseLanguage, IsEncodedInCodePage936) {
    const std::string bytes = TempDir::Read(KS_SOURCE_DIR "/data/lang/Chinese.ini");
    ASSERT_FALSE(bytes.empty());
    EXPECT_FALSE(ks::IsValidUtf8(bytes));  // GBK, not UTF-8
    const std::string text = ks::GbkToUtf8(bytes);
    EXPECT_EQ(text.find("\xEF\xBF\xBD"), std::string::npos);  // every byte decodes
    EXPECT_EQ(ks::Utf8ToGbk(text), bytes);
    CIniLocalLan lan;
    ASSERT_TRUE(lan.Load(KS_SOURCE_DIR "/data/lang/Chinese.ini"));
    EXPECT_EQ(lan.GetValue("DIALOG_102:BUTTON_1001"), "\xE5\xBC\x80\xE5\xA7\x8B");  // 开始
}

TEST(ShippedConfigAndLanguage, SelectedLanguageFileLoadsFromTheConfiguredPath) {
    CIniSettingBase settings;
    ASSERT_TRUE(settings.Load(KS_SOURCE_DIR "/data/config.ini"));
    settings.exeFolder = KS_SOURCE_DIR "/data/";
    for (const LanguageEntry& entry : settings.languageTable) {
        CIniLocalLan lan;
        EXPECT_TRUE(lan.Load(settings.exeFolder + settings.LangPath + entry.fileName))
            << entry.fileName;
    }
}

}  // namespace
