// The console in JSON Lines (--json): one object per line on standard output for every status
// text of the device table ({"event":"status","slot":3,"port":"1-3","text":"..."}) and every
// finished job ({"event":"result",...}, as in the results file), and a last
// {"event":"summary",...}. Everything else (counters, labels, messages on the error stream, the
// key file to load) is the text console's.
#pragma once

#include <array>
#include <cstdio>
#include <optional>
#include <string>

#include "app/JobResults.h"
#include "app/StationView.h"
#include "provision/JobRecord.h"

class CJsonConsoleView final : public IStationView {
  public:
    // inner: the text console, told everything but the device table's status texts.
    CJsonConsoleView(IStationView& inner, std::FILE* out) : inner_(inner), out_(out) {}

    void PrintJob(const JobRecord& record);
    void PrintSummary(const JobSummary& summary);

    void ShowWindowTitle(const std::string& title) override { inner_.ShowWindowTitle(title); }
    void ShowControlText(int controlId, const std::string& text) override {
        inner_.ShowControlText(controlId, text);
    }
    void ShowControlEnabled(int controlId, bool enabled) override {
        inner_.ShowControlEnabled(controlId, enabled);
    }
    void ShowColumnTitle(int column, const std::string& title) override {
        inner_.ShowColumnTitle(column, title);
    }
    void ShowCellText(int row, int column, const std::string& text) override;
    void ShowRowColour(int row, std::optional<RowColour> colour) override {
        inner_.ShowRowColour(row, colour);
    }
    void ShowMessage(const std::string& text, const std::string& caption,
                     MessageIcon icon) override {
        inner_.ShowMessage(text, caption, icon);
    }
    std::optional<std::string> ChooseKeyFile() override { return inner_.ChooseKeyFile(); }
    void RunConfigDialog(CIniSettingBase& settings, CIniLocalLan& language) override {
        inner_.RunConfigDialog(settings, language);
    }
    void CloseWindow() override { inner_.CloseWindow(); }

  private:
    void Print(const std::string& line);

    IStationView& inner_;
    std::FILE* out_;
    std::array<std::string, kTableRows> locations_;
};
