// A station view that keeps what it was told to show, for tests. Main thread only.
#pragma once

#include <array>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "app/StationView.h"

struct ShownMessage {
    std::string text;
    std::string caption;
    MessageIcon icon = MessageIcon::kNone;
};

class RecordingView final : public IStationView {
  public:
    void ShowWindowTitle(const std::string& title) override { title_ = title; }
    void ShowControlText(int id, const std::string& text) override { texts_[id] = text; }
    void ShowControlEnabled(int id, bool enabled) override { enabled_[id] = enabled; }
    void ShowColumnTitle(int column, const std::string& title) override {
        columns_[static_cast<size_t>(column)] = title;
    }
    void ShowCellText(int row, int column, const std::string& text) override {
        cells_[static_cast<size_t>(row)][static_cast<size_t>(column)] = text;
        if (column == kColumnStatus) {
            statusHistory_[row].push_back(text);
        }
    }
    void ShowRowColour(int row, std::optional<RowColour> colour) override {
        colours_[static_cast<size_t>(row)] = colour;
    }
    void ShowControlColour(int id, std::optional<RowColour> colour) override {
        controlColours_[id] = colour;
    }
    void ShowRowTime(int row, const std::string& text) override {
        times_[static_cast<size_t>(row)] = text;
    }
    void CallAttention() override { ++attention_; }
    void ShowRowMark(int row, const std::string& mark) override {
        marks_[static_cast<size_t>(row)] = mark;
    }
    void ShowMessage(const std::string& text, const std::string& caption,
                     MessageIcon icon) override {
        messages_.push_back({text, caption, icon});
    }
    std::optional<std::string> ChooseKeyFile() override {
        ++fileDialogs_;
        if (keyFileAnswers_.empty()) {
            return std::nullopt;
        }
        auto answer = keyFileAnswers_.front();
        keyFileAnswers_.pop_front();
        return answer;
    }
    void RunConfigDialog(CIniSettingBase&, CIniLocalLan&) override { ++configDialogs_; }
    void CloseWindow() override { closed_ = true; }

    std::string Text(int id) const {
        auto it = texts_.find(id);
        return it == texts_.end() ? std::string() : it->second;
    }
    bool Enabled(int id) const {
        auto it = enabled_.find(id);
        return it == enabled_.end() || it->second;
    }
    const std::string& Cell(int row, int column) const {
        return cells_[static_cast<size_t>(row)][static_cast<size_t>(column)];
    }
    std::optional<RowColour> Colour(int row) const { return colours_[static_cast<size_t>(row)]; }
    std::optional<RowColour> ControlColour(int id) const {
        auto it = controlColours_.find(id);
        return it == controlColours_.end() ? std::nullopt : it->second;
    }
    const std::string& Time(int row) const { return times_[static_cast<size_t>(row)]; }
    const std::string& Mark(int row) const { return marks_[static_cast<size_t>(row)]; }
    int Attention() const { return attention_; }
    const std::string& Title() const { return title_; }
    const std::string& Column(int c) const { return columns_[static_cast<size_t>(c)]; }
    const std::vector<ShownMessage>& Messages() const { return messages_; }
    const std::vector<std::string>& StatusHistory(int row) { return statusHistory_[row]; }
    void AnswerFileDialog(std::optional<std::string> answer) {
        keyFileAnswers_.push_back(std::move(answer));
    }
    int FileDialogs() const { return fileDialogs_; }
    int ConfigDialogs() const { return configDialogs_; }
    bool Closed() const { return closed_; }

  private:
    std::string title_;
    std::map<int, std::string> texts_;
    std::map<int, bool> enabled_;
    std::array<std::string, kTableColumns> columns_;
    std::array<std::array<std::string, kTableColumns>, kTableRows> cells_;
    std::array<std::optional<RowColour>, kTableRows> colours_;
    std::map<int, std::optional<RowColour>> controlColours_;
    std::array<std::string, kTableRows> times_;
    std::array<std::string, kTableRows> marks_;
    int attention_ = 0;
    std::map<int, std::vector<std::string>> statusHistory_;
    std::vector<ShownMessage> messages_;
    std::deque<std::optional<std::string>> keyFileAnswers_;
    int fileDialogs_ = 0;
    int configDialogs_ = 0;
    bool closed_ = false;
};
