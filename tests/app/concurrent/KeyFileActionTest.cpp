// The key-file action and the key summary labels.
#include <gtest/gtest.h>

#include "support/IniSettingBase.h"
#include "tests/app/concurrent/StationHarness.h"

namespace station_test {
namespace {

namespace C = StationControl;

class KeyFileActionTest : public StationTest {};

TEST_F(KeyFileActionTest, ALoadedFileShowsItsSummaryAfterTheCaptions) {
    const std::string kdb = MakeKeyFile("keys.kdb", 1000, 64, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
    BootGated();
    view_.AnswerFileDialog(kdb);
    Press(C::kKeyFileButton);
    EXPECT_EQ(view_.Text(C::kKeyFileLabel), "Key file:" + kdb);
    EXPECT_EQ(view_.Text(C::kKeyCountLabel), "Keys:1000");
    EXPECT_EQ(view_.Text(C::kUnusedLabel), "Unused:990");
    EXPECT_EQ(view_.Text(C::kCreateTimeLabel), "Created:2026-01-31 12:00:00");
    EXPECT_EQ(view_.Text(C::kKeyFileButton), "Key File");  // restored
    EXPECT_TRUE(view_.Enabled(C::kKeyFileButton));
    EXPECT_TRUE(view_.Enabled(C::kStartStopButton));
    EXPECT_TRUE(view_.Enabled(C::kExitButton));
    EXPECT_EQ(controller_->Settings().keyFilePath, kdb);
    ASSERT_NE(controller_->KeyFile(), nullptr);

    for (int i = 0; i < 3; ++i) {
        controller_->DecreaseUnused();
    }
    queue_.RunPending();
    EXPECT_EQ(view_.Text(C::kUnusedLabel), "Unused:987");
}

TEST_F(KeyFileActionTest, TheBuiltInKeyCountCaptionEndsInAFullWidthColonAndIsReplaced) {
    language_["LanKinds"] = "0";
    const std::string kdb = MakeKeyFile("keys.kdb", 20, 32);
    BootGated();
    controller_->LoadKeyFile(kdb);
    queue_.RunPending();
    EXPECT_EQ(view_.Text(C::kKeyCountLabel), "20");
    EXPECT_EQ(view_.Text(C::kUnusedLabel), "未使用:20");
    controller_->DecreaseUnused();
    queue_.RunPending();
    EXPECT_EQ(view_.Text(C::kUnusedLabel), "未使用:19");
}

TEST_F(KeyFileActionTest, CancellingTheDialogKeepsTheLoadedFile) {
    const std::string kdb = MakeKeyFile("keys.kdb", 10, 32);
    BootGated();
    controller_->LoadKeyFile(kdb);
    CKeyFile* loaded = controller_->KeyFile();
    view_.AnswerFileDialog(std::nullopt);
    Press(C::kKeyFileButton);
    EXPECT_EQ(view_.FileDialogs(), 1);
    EXPECT_EQ(controller_->KeyFile(), loaded);
    EXPECT_EQ(view_.Text(C::kKeyCountLabel), "Keys:10");
}

TEST_F(KeyFileActionTest, AFailedLoadAfterAGoodOneLeavesNoKeyFile) {
    const std::string good = MakeKeyFile("keys.kdb", 10, 32);
    const fs::path bad = home_ / "bad.kdb";
    WriteText(bad, "KBOX but nothing else");
    BootGated();
    controller_->LoadKeyFile(good);
    ASSERT_NE(controller_->KeyFile(), nullptr);

    view_.AnswerFileDialog(bad.string());
    Press(C::kKeyFileButton);
    EXPECT_EQ(controller_->KeyFile(), nullptr);
    ASSERT_EQ(view_.Messages().size(), 1u);
    // The message and the status line say what is wrong in the operator's words; the log keeps
    // the failing check's own text.
    const std::string words = view_.Text(C::kStatusLine);
    EXPECT_FALSE(words.empty());
    EXPECT_EQ(words.find("CKeyFile"), std::string::npos) << words;
    EXPECT_EQ(view_.Messages()[0].text, LangText("IDS_LOADING_FW_FAIL") + ": " + words);
    EXPECT_EQ(
        CountOf(LogText(), AsLogged("Error:Key file " + bad.string() + " not loaded: CKeyFile")),
        1u);
    EXPECT_EQ(view_.Messages()[0].caption, "ERROR");
    EXPECT_EQ(view_.Messages()[0].icon, MessageIcon::kError);
    EXPECT_EQ(view_.Text(C::kKeyFileLabel), "Key file:");
    EXPECT_EQ(view_.Text(C::kKeyCountLabel), "Keys:");
    EXPECT_EQ(view_.Text(C::kUnusedLabel), "Unused:");
    EXPECT_EQ(view_.Text(C::kKeyFileButton), "Key File");
    EXPECT_TRUE(view_.Enabled(C::kStartStopButton));
    EXPECT_TRUE(controller_->Settings().keyFilePath.empty());

    // With keybox writing on, Start now does nothing but say why.
    controller_->MutableSettings().WriteKeybox = 1;
    Press(C::kStartStopButton);
    EXPECT_EQ(State(), StationState::kIdle);
    EXPECT_EQ(view_.Text(C::kStatusLine), LangText("IDS_START_NO_KEYFILE"));
}

TEST_F(KeyFileActionTest, TheActionIsRefusedUnlessIdle) {
    const std::string kdb = MakeKeyFile("keys.kdb", 10, 32);
    BootGated();
    Press(C::kStartStopButton);
    view_.AnswerFileDialog(kdb);
    Press(C::kKeyFileButton);
    EXPECT_EQ(view_.FileDialogs(), 0);
    controller_->LoadKeyFile(kdb);
    EXPECT_EQ(controller_->KeyFile(), nullptr);
}

}  // namespace
}  // namespace station_test
