// The station window as console output: one line per status text of the device table
// ("slot 3 [1-3] <text>"), messages and the status line on the error stream, the shift summary
// ("summary <line>") when the program asks for it, the bell for a call for attention when the error
// stream is a terminal, and the key file to load handed in by the program instead of a file
// dialog.
#pragma once

#include <array>
#include <cstdio>
#include <optional>
#include <string>

#include "app/StationView.h"

class CConsoleView final : public IStationView {
  public:
    CConsoleView(std::FILE* out, std::FILE* err) : out_(out), err_(err) {}

    // While held, the status line is kept instead of printed: start-up's hint to load a key
    // file means nothing to a run given one. Release prints the kept line unless `drop`.
    void HoldStatus() { holding_ = true; }
    void ReleaseStatus(bool drop);
    // The path the next ChooseKeyFile answers with (once).
    void SetKeyFileAnswer(std::string path) { keyFileAnswer_ = std::move(path); }
    bool Closed() const { return closed_; }
    // The latest text of a control as shown.
    std::string ControlText(int controlId) const;

    void ShowWindowTitle(const std::string&) override {}
    void ShowControlText(int controlId, const std::string& text) override;
    void ShowControlEnabled(int, bool) override {}
    void ShowColumnTitle(int, const std::string&) override {}
    void ShowCellText(int row, int column, const std::string& text) override;
    void ShowRowColour(int, std::optional<RowColour>) override {}
    void ShowMessage(const std::string& text, const std::string& caption,
                     MessageIcon icon) override;
    std::optional<std::string> ChooseKeyFile() override;
    void RunConfigDialog(CIniSettingBase&, CIniLocalLan&) override {}
    void CloseWindow() override { closed_ = true; }
    void CallAttention() override;
    // Prints the shift summary's lines ("summary <line>"), if there is one.
    void PrintSummary();

  private:
    bool holding_ = false;
    std::string heldStatus_;
    std::FILE* out_;
    std::FILE* err_;
    std::array<std::string, kTableRows> locations_;
    std::array<std::string, 4> labels_;  // key file, key count, unused, creation time
    std::array<std::string, 3> counters_;
    std::string summary_;
    std::optional<std::string> keyFileAnswer_;
    bool closed_ = false;
};
