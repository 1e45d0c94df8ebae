// The main window's controls as the language file addresses them, applied to the station model:
// ApplyDialogTexts writes the window title, button and label texts and the device table's column
// titles into the model, from where they reach the view.
#pragma once

#include <string>
#include <vector>

#include "app/StationModel.h"
#include "support/DialogTextTarget.h"

class CStationDialogTexts final : public IDialogTextTarget {
  public:
    explicit CStationDialogTexts(CStationModel& model) : model_(model) {}

    int DialogId() const override { return StationControl::kDialog; }
    void SetTitle(const std::string& text) override { model_.SetWindowTitle(text); }
    std::vector<DialogControl> Controls() const override;
    void SetControlText(int id, const std::string& text) override {
        model_.SetControlText(id, text);
    }
    int ListViewColumnCount(int id) const override {
        return id == StationControl::kDeviceTable ? kTableColumns : 0;
    }
    void SetListViewColumnTitle(int id, int column, const std::string& text) override {
        if (id == StationControl::kDeviceTable) {
            model_.SetColumnTitle(column, text);
        }
    }

  private:
    CStationModel& model_;
};
