// A window tree in memory for applying language texts.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "support/DialogTextTarget.h"

class FakeDialog : public IDialogTextTarget {
  public:
    explicit FakeDialog(int id = 102) : id_(id) {}

    void Add(int id, DialogControlKind kind, std::string text = "built-in", int columns = 0) {
        controls_.push_back({id, kind});
        texts[id] = std::move(text);
        columnCounts_[id] = columns;
    }

    int DialogId() const override { return id_; }
    void SetTitle(const std::string& text) override { title = text; }
    std::vector<DialogControl> Controls() const override { return controls_; }
    void SetControlText(int id, const std::string& text) override {
        texts[id] = text;
        ++textChanges;
    }
    int ListViewColumnCount(int id) const override {
        const auto it = columnCounts_.find(id);
        return it == columnCounts_.end() ? 0 : it->second;
    }
    void SetListViewColumnTitle(int id, int column, const std::string& text) override {
        columnTitles[{id, column}] = text;
    }

    std::string title = "built-in title";
    std::map<int, std::string> texts;
    std::map<std::pair<int, int>, std::string> columnTitles;
    int textChanges = 0;

  private:
    int id_;
    std::vector<DialogControl> controls_;
    std::map<int, int> columnCounts_;
};
