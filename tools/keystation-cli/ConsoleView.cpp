#include "tools/keystation-cli/ConsoleView.h"

#include <unistd.h>

namespace {

namespace C = StationControl;

int LabelIndex(int controlId) {
    switch (controlId) {
        case C::kKeyFileLabel:
            return 0;
        case C::kKeyCountLabel:
            return 1;
        case C::kUnusedLabel:
            return 2;
        case C::kCreateTimeLabel:
            return 3;
        default:
            return -1;
    }
}

int CounterIndex(int controlId) {
    switch (controlId) {
        case C::kSuccessCounter:
            return 0;
        case C::kFailCounter:
            return 1;
        case C::kTotalCounter:
            return 2;
        default:
            return -1;
    }
}

}  // namespace

std::string CConsoleView::ControlText(int controlId) const {
    if (const int i = LabelIndex(controlId); i >= 0) {
        return labels_[static_cast<size_t>(i)];
    }
    if (const int i = CounterIndex(controlId); i >= 0) {
        return counters_[static_cast<size_t>(i)];
    }
    return {};
}

void CConsoleView::ShowControlText(int controlId, const std::string& text) {
    if (const int i = LabelIndex(controlId); i >= 0) {
        labels_[static_cast<size_t>(i)] = text;
    } else if (const int c = CounterIndex(controlId); c >= 0) {
        counters_[static_cast<size_t>(c)] = text;
    } else if (controlId == C::kSummaryLabel) {
        summary_ = text;
    } else if (controlId == C::kStatusLine && holding_) {
        heldStatus_ = text;
    } else if (controlId == C::kStatusLine && !text.empty()) {
        std::fprintf(err_, "%s\n", text.c_str());
        std::fflush(err_);
    }
}

void CConsoleView::ReleaseStatus(bool drop) {
    holding_ = false;
    if (!drop && !heldStatus_.empty()) {
        std::fprintf(err_, "%s\n", heldStatus_.c_str());
        std::fflush(err_);
    }
    heldStatus_.clear();
}

void CConsoleView::PrintSummary() {
    size_t at = 0;
    while (at < summary_.size()) {
        size_t end = summary_.find('\n', at);
        if (end == std::string::npos) {
            end = summary_.size();
        }
        std::fprintf(out_, "summary %s\n", summary_.substr(at, end - at).c_str());
        at = end + 1;
    }
    std::fflush(out_);
}

void CConsoleView::CallAttention() {
    if (isatty(fileno(err_)) != 0) {
        std::fputc('\a', err_);
        std::fflush(err_);
    }
}

void CConsoleView::ShowCellText(int row, int column, const std::string& text) {
    if (row < 0 || row >= kTableRows) {
        return;
    }
    if (column == kColumnLocation) {
        locations_[static_cast<size_t>(row)] = text;
    } else if (column == kColumnStatus && !text.empty()) {
        std::fprintf(out_, "slot %d [%s] %s\n", row + 1,
                     locations_[static_cast<size_t>(row)].c_str(), text.c_str());
        std::fflush(out_);
    }
}

void CConsoleView::ShowMessage(const std::string& text, const std::string& caption, MessageIcon) {
    if (caption.empty()) {
        std::fprintf(err_, "%s\n", text.c_str());
    } else {
        std::fprintf(err_, "%s: %s\n", caption.c_str(), text.c_str());
    }
    std::fflush(err_);
}

std::optional<std::string> CConsoleView::ChooseKeyFile() {
    std::optional<std::string> answer = std::move(keyFileAnswer_);
    keyFileAnswer_.reset();
    return answer;
}
