#include "app/StationModel.h"

#include <utility>

namespace {

struct BuiltInText {
    int id;
    const char* text;
};

// The window's own texts, shown until a language file replaces them.
constexpr BuiltInText kBuiltInTexts[] = {
    {StationControl::kKeyFileButton, "密钥文件"}, {StationControl::kStartStopButton, "开始"},
    {StationControl::kExitButton, "退出"},        {StationControl::kConfigButton, "配置"},
    {StationControl::kKeyFileLabel, "密钥文件:"}, {StationControl::kKeyCountLabel, "密钥数："},
    {StationControl::kUnusedLabel, "未使用:"},    {StationControl::kCreateTimeLabel, "创建时间:"},
    {StationControl::kSuccessCaption, "成功:"},   {StationControl::kSuccessCounter, "00000"},
    {StationControl::kFailCaption, "失败:"},      {StationControl::kFailCounter, "00000"},
    {StationControl::kTotalCaption, "总共:"},     {StationControl::kTotalCounter, "00000"},
};

}  // namespace

CStationModel::CStationModel(IMainThreadPoster& poster, IStationView* view)
    : poster_(poster),
      view_(view),
      alive_(std::make_shared<std::atomic<bool>>(true)),
      title_("Key Station") {
    for (const auto& t : kBuiltInTexts) {
        controls_[t.id].text = t.text;
    }
    for (int r = 0; r < kTableRows; ++r) {
        rows_[static_cast<size_t>(r)].cells[kColumnSlot] = std::to_string(r + 1);
    }
}

CStationModel::~CStationModel() {
    *alive_ = false;
}

bool CStationModel::ValidCell(int row, int column) {
    return row >= 0 && row < kTableRows && column >= 0 && column < kTableColumns;
}

void CStationModel::Notify(std::function<void(IStationView&)> fn) {
    if (view_ == nullptr) {
        return;
    }
    poster_.Post([alive = alive_, view = view_, fn = std::move(fn)] {
        if (*alive) {
            fn(*view);
        }
    });
}

void CStationModel::PublishAll() {
    std::lock_guard<std::mutex> guard(lock_);
    Notify([title = title_](IStationView& v) { v.ShowWindowTitle(title); });
    for (const auto& [id, control] : controls_) {
        // Structured bindings are captured through an initialiser: clang 14 cannot capture them.
        Notify([controlId = id, text = control.text, enabled = control.enabled,
                colour = control.colour](IStationView& v) {
            v.ShowControlText(controlId, text);
            v.ShowControlEnabled(controlId, enabled);
            if (colour) {
                v.ShowControlColour(controlId, colour);
            }
        });
    }
    Notify([titles = columnTitles_](IStationView& v) {
        for (int c = 0; c < kTableColumns; ++c) {
            v.ShowColumnTitle(c, titles[static_cast<size_t>(c)]);
        }
    });
    if (focus_ != 0) {
        Notify([focus = focus_](IStationView& v) { v.ShowFocus(focus); });
    }
    Notify([rows = rows_](IStationView& v) {
        for (int r = 0; r < kTableRows; ++r) {
            const Row& row = rows[static_cast<size_t>(r)];
            for (int c = 0; c < kTableColumns; ++c) {
                v.ShowCellText(r, c, row.cells[static_cast<size_t>(c)]);
            }
            v.ShowRowColour(r, row.colour);
            v.ShowRowTime(r, row.time);
            v.ShowRowMark(r, row.mark);
        }
    });
}

std::string CStationModel::WindowTitle() const {
    std::lock_guard<std::mutex> guard(lock_);
    return title_;
}

void CStationModel::SetWindowTitle(const std::string& title) {
    std::lock_guard<std::mutex> guard(lock_);
    title_ = title;
    Notify([title](IStationView& v) { v.ShowWindowTitle(title); });
}

std::string CStationModel::ControlText(int controlId) const {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = controls_.find(controlId);
    return it == controls_.end() ? std::string() : it->second.text;
}

void CStationModel::SetControlText(int controlId, const std::string& text) {
    std::lock_guard<std::mutex> guard(lock_);
    controls_[controlId].text = text;
    Notify([controlId, text](IStationView& v) { v.ShowControlText(controlId, text); });
}

void CStationModel::EditControlText(int controlId,
                                    const std::function<std::string(const std::string&)>& edit) {
    std::lock_guard<std::mutex> guard(lock_);
    Control& control = controls_[controlId];
    control.text = edit(control.text);
    Notify(
        [controlId, text = control.text](IStationView& v) { v.ShowControlText(controlId, text); });
}

bool CStationModel::ControlEnabled(int controlId) const {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = controls_.find(controlId);
    return it == controls_.end() || it->second.enabled;
}

void CStationModel::EnableControl(int controlId, bool enabled) {
    std::lock_guard<std::mutex> guard(lock_);
    controls_[controlId].enabled = enabled;
    Notify([controlId, enabled](IStationView& v) { v.ShowControlEnabled(controlId, enabled); });
}

std::optional<RowColour> CStationModel::ControlColour(int controlId) const {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = controls_.find(controlId);
    return it == controls_.end() ? std::nullopt : it->second.colour;
}

void CStationModel::SetControlColour(int controlId, std::optional<RowColour> colour) {
    std::lock_guard<std::mutex> guard(lock_);
    Control& control = controls_[controlId];
    if (control.colour == colour) {
        return;
    }
    control.colour = colour;
    Notify([controlId, colour](IStationView& v) { v.ShowControlColour(controlId, colour); });
}

std::string CStationModel::ColumnTitle(int column) const {
    std::lock_guard<std::mutex> guard(lock_);
    if (column < 0 || column >= kTableColumns) {
        return {};
    }
    return columnTitles_[static_cast<size_t>(column)];
}

void CStationModel::SetColumnTitle(int column, const std::string& title) {
    if (column < 0 || column >= kTableColumns) {
        return;
    }
    std::lock_guard<std::mutex> guard(lock_);
    columnTitles_[static_cast<size_t>(column)] = title;
    Notify([column, title](IStationView& v) { v.ShowColumnTitle(column, title); });
}

std::string CStationModel::CellText(int row, int column) const {
    if (!ValidCell(row, column)) {
        return {};
    }
    std::lock_guard<std::mutex> guard(lock_);
    return rows_[static_cast<size_t>(row)].cells[static_cast<size_t>(column)];
}

void CStationModel::SetCellText(int row, int column, const std::string& text) {
    if (!ValidCell(row, column)) {
        return;
    }
    std::lock_guard<std::mutex> guard(lock_);
    rows_[static_cast<size_t>(row)].cells[static_cast<size_t>(column)] = text;
    Notify([row, column, text](IStationView& v) { v.ShowCellText(row, column, text); });
}

std::optional<RowColour> CStationModel::RowColourOf(int row) const {
    if (!ValidCell(row, 0)) {
        return std::nullopt;
    }
    std::lock_guard<std::mutex> guard(lock_);
    return rows_[static_cast<size_t>(row)].colour;
}

void CStationModel::SetRowColour(int row, RowColour colour) {
    if (!ValidCell(row, 0)) {
        return;
    }
    std::lock_guard<std::mutex> guard(lock_);
    rows_[static_cast<size_t>(row)].colour = colour;
    Notify([row, colour](IStationView& v) { v.ShowRowColour(row, colour); });
}

void CStationModel::DropRowColour(int row) {
    if (!ValidCell(row, 0)) {
        return;
    }
    std::lock_guard<std::mutex> guard(lock_);
    rows_[static_cast<size_t>(row)].colour.reset();
    Notify([row](IStationView& v) { v.ShowRowColour(row, std::nullopt); });
}

std::string CStationModel::RowTime(int row) const {
    if (!ValidCell(row, 0)) {
        return {};
    }
    std::lock_guard<std::mutex> guard(lock_);
    return rows_[static_cast<size_t>(row)].time;
}

void CStationModel::SetRowTime(int row, const std::string& text) {
    if (!ValidCell(row, 0)) {
        return;
    }
    std::lock_guard<std::mutex> guard(lock_);
    std::string& time = rows_[static_cast<size_t>(row)].time;
    if (time == text) {
        return;
    }
    time = text;
    Notify([row, text](IStationView& v) { v.ShowRowTime(row, text); });
}

std::string CStationModel::RowMark(int row) const {
    if (!ValidCell(row, 0)) {
        return {};
    }
    std::lock_guard<std::mutex> guard(lock_);
    return rows_[static_cast<size_t>(row)].mark;
}

void CStationModel::SetRowMark(int row, const std::string& mark) {
    if (!ValidCell(row, 0)) {
        return;
    }
    std::lock_guard<std::mutex> guard(lock_);
    std::string& current = rows_[static_cast<size_t>(row)].mark;
    if (current == mark) {
        return;
    }
    current = mark;
    Notify([row, mark](IStationView& v) { v.ShowRowMark(row, mark); });
}

void CStationModel::ClearRow(int row) {
    if (!ValidCell(row, 0)) {
        return;
    }
    std::lock_guard<std::mutex> guard(lock_);
    Row& r = rows_[static_cast<size_t>(row)];
    r.cells[kColumnLocation].clear();
    r.cells[kColumnStatus].clear();
    r.colour.reset();
    const bool timed = !r.time.empty();
    const bool marked = !r.mark.empty();
    r.time.clear();
    r.mark.clear();
    Notify([row, timed, marked](IStationView& v) {
        v.ShowCellText(row, kColumnLocation, std::string());
        v.ShowCellText(row, kColumnStatus, std::string());
        v.ShowRowColour(row, std::nullopt);
        if (timed) {
            v.ShowRowTime(row, std::string());
        }
        if (marked) {
            v.ShowRowMark(row, std::string());
        }
    });
}

void CStationModel::CallAttention() {
    std::lock_guard<std::mutex> guard(lock_);
    Notify([](IStationView& v) { v.CallAttention(); });
}

int CStationModel::Focus() const {
    std::lock_guard<std::mutex> guard(lock_);
    return focus_;
}

void CStationModel::SetFocus(int controlId) {
    std::lock_guard<std::mutex> guard(lock_);
    focus_ = controlId;
    Notify([controlId](IStationView& v) { v.ShowFocus(controlId); });
}

int CStationModel::ShownFocus() const {
    std::lock_guard<std::mutex> guard(lock_);
    const auto it = controls_.find(focus_);
    return focus_ != 0 && (it == controls_.end() || it->second.enabled) ? focus_ : 0;
}
