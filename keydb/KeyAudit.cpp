#include "keydb/KeyAudit.h"

#include "keydb/KeyFile.h"
#include "keydb/KeyJournal.h"

KeyAuditReport AuditKeyFile(const CKeyFile& file) {
    KeyAuditReport report;
    if (!file.IsValid()) {
        report.journalError = "the key file is not valid";
        return report;
    }
    const KeyJournalSummary& journal = file.GetJournalSummary();
    report.journalError = file.GetJournalError();
    report.keyCount = static_cast<uint32_t>(file.GetKeyCount());
    report.records = journal.records;
    report.malformed = journal.malformed;
    report.foreign = journal.foreign;
    for (uint32_t i = 0; i < report.keyCount; ++i) {
        if (file.IsMarkedUsedAtLoad(i)) {
            ++report.usedInFile;
            const auto it = journal.keys.find(i);
            if (it == journal.keys.end() || it->second.reserved == 0) {
                ++report.usedWithoutRecord;
            }
        }
    }
    for (const auto& [index, history] : journal.keys) {
        if (history.delivered > 0) {
            report.delivered.push_back(index);
        } else if (history.spent > 0) {
            report.spent.push_back(index);
        }
        if (history.open) {
            report.inDoubt.push_back(index);
        }
        if (history.returned > 0 && history.reserved == 0) {
            report.returned.push_back(index);
        }
        if (history.delivered > 1) {
            report.deliveredTwice.push_back(index);
        }
        if (history.reserved > 1) {
            report.reservedTwice.push_back(index);
        }
        if ((history.reserved > 0 || history.delivered > 0 || history.spent > 0) &&
            !file.IsMarkedUsedAtLoad(index)) {
            report.notMarkedUsed.push_back(index);
        }
    }
    for (const auto& [serial, keys] : journal.keysBySerial) {
        if (keys.size() > 1) {
            report.serialsWithSeveralKeys[serial].assign(keys.begin(), keys.end());
        }
    }
    return report;
}

std::string IndexRanges(const std::vector<uint32_t>& sorted) {
    std::string text;
    size_t i = 0;
    while (i < sorted.size()) {
        size_t j = i;
        while (j + 1 < sorted.size() && sorted[j + 1] == sorted[j] + 1) {
            ++j;
        }
        if (!text.empty()) {
            text += ',';
        }
        text += std::to_string(sorted[i]);
        if (j > i) {
            text += '-' + std::to_string(sorted[j]);
        }
        i = j + 1;
    }
    return text;
}
