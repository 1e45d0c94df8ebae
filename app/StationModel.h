// The texts of the station window that change while the station runs: window title, button and
// label texts and their enabling, the device table's column titles, cells and row colours. The
// model is the one place these texts live; the controller reads them back from here (the counters
// and the unused-key label are edited in place), and the view only shows them.
//
// Thread-safe: any thread may read or change the model. Each change is passed to the view as a
// value through the main-thread queue; changes are queued under the model's lock, so the view
// receives them in exactly the order in which they were made. The model's lock is a leaf: no
// other lock is taken while it is held, and nothing ever waits for the main thread under it.
#pragma once

#include <array>
#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "app/MainThreadPoster.h"
#include "app/StationView.h"

class CStationModel {
  public:
    // view may be null: then changes are only kept. The view must outlive the poster's queued
    // closures or the model, whichever goes first: closures still queued when the model is
    // destroyed do nothing.
    CStationModel(IMainThreadPoster& poster, IStationView* view);
    ~CStationModel();
    CStationModel(const CStationModel&) = delete;
    CStationModel& operator=(const CStationModel&) = delete;

    // Sends the whole current state to the view (once, when the window is set up).
    void PublishAll();

    std::string WindowTitle() const;
    void SetWindowTitle(const std::string& title);

    // Control texts and enabling by control number. An unknown number reads as empty text and
    // enabled; setting it creates it.
    std::string ControlText(int controlId) const;
    void SetControlText(int controlId, const std::string& text);
    // Replaces a control's text by edit(current text) as one step: no other change of the model
    // comes between the read and the write.
    void EditControlText(int controlId, const std::function<std::string(const std::string&)>& edit);
    bool ControlEnabled(int controlId) const;
    void EnableControl(int controlId, bool enabled);
    // A label's text colour (none: its own).
    std::optional<RowColour> ControlColour(int controlId) const;
    void SetControlColour(int controlId, std::optional<RowColour> colour);

    // Device table. Rows 0..15, columns 0..2; other numbers read as empty and are not stored.
    std::string ColumnTitle(int column) const;
    void SetColumnTitle(int column, const std::string& title);
    std::string CellText(int row, int column) const;
    void SetCellText(int row, int column, const std::string& text);
    std::optional<RowColour> RowColourOf(int row) const;
    void SetRowColour(int row, RowColour colour);
    void DropRowColour(int row);
    // How long the row's job has run or took ("" for none), shown beside its status text.
    std::string RowTime(int row) const;
    void SetRowTime(int row, const std::string& text);
    // The mark after the row's status text ("" for none): its board has left after its job.
    std::string RowMark(int row) const;
    void SetRowMark(int row, const std::string& mark);
    // Empties columns 1 and 2 of a row, its time and its mark, and drops its colour.
    void ClearRow(int row);

    // Asks the view for the operator's attention once (a failed job, the end of a batch).
    void CallAttention();

    // The button that has (or gets, once it is enabled) the keyboard focus; 0 before any is set.
    int Focus() const;
    // Passed on to the view every time, also when it names the same button again: the window
    // may have moved the focus away meanwhile (a modal box, a button disabled under it).
    void SetFocus(int controlId);
    // The button that shows the focus now: Focus() when it is enabled, else 0.
    int ShownFocus() const;

  private:
    struct Control {
        std::string text;
        bool enabled = true;
        std::optional<RowColour> colour;
    };
    struct Row {
        std::array<std::string, kTableColumns> cells;
        std::optional<RowColour> colour;
        std::string time;
        std::string mark;
    };

    static bool ValidCell(int row, int column);
    // Queues fn(view) for the main thread; called with lock_ held.
    void Notify(std::function<void(IStationView&)> fn);

    IMainThreadPoster& poster_;
    IStationView* view_;
    std::shared_ptr<std::atomic<bool>> alive_;  // false once the model is gone

    mutable std::mutex lock_;
    std::string title_;
    std::map<int, Control> controls_;
    std::array<std::string, kTableColumns> columnTitles_;
    std::array<Row, kTableRows> rows_;
    int focus_ = 0;
};
