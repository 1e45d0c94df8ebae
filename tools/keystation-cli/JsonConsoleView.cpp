#include "tools/keystation-cli/JsonConsoleView.h"

#include <exception>
#include <nlohmann/json.hpp>

void CJsonConsoleView::Print(const std::string& line) {
    if (!line.empty()) {
        std::fputs(line.c_str(), out_);
        std::fflush(out_);
    }
}

void CJsonConsoleView::PrintJob(const JobRecord& record) {
    Print(FormatJobRecordLine(record));
}

void CJsonConsoleView::PrintSummary(const JobSummary& summary) {
    Print(FormatSummaryLine(summary));
}

void CJsonConsoleView::ShowCellText(int row, int column, const std::string& text) {
    if (row < 0 || row >= kTableRows) {
        return;
    }
    if (column != kColumnStatus) {
        if (column == kColumnLocation) {
            locations_[static_cast<size_t>(row)] = text;
        }
        inner_.ShowCellText(row, column, text);
        return;
    }
    if (text.empty()) {
        return;
    }
    try {
        nlohmann::ordered_json object;
        object["event"] = "status";
        object["slot"] = row + 1;
        object["port"] = locations_[static_cast<size_t>(row)];
        object["text"] = text;
        Print(object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n");
    } catch (const std::exception&) {
        // One status line lost; the job's result line still follows.
    }
}
