#include "support/IniDocument.h"

#include <algorithm>

#include "support/TextCodec.h"

namespace ks {

namespace {

// Weight of one UTF-8 byte for ordering. Lead bytes of four-byte sequences (U+10000 and up) are
// placed between 0xED and 0xEE, so those characters sort where their UTF-16 surrogates would:
// above U+D7FF and below U+E000. Every other byte keeps its order; A-Z fold to a-z.
unsigned Weight(unsigned char b) {
    if (b >= 'A' && b <= 'Z') {
        b = static_cast<unsigned char>(b - 'A' + 'a');
    }
    if (b >= 0xF0 && b <= 0xF4) {
        return 0xEDu * 8u + 1u + (b - 0xF0u);
    }
    return b * 8u;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

}  // namespace

bool IniNameLess::operator()(std::string_view a, std::string_view b) const {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned wa = Weight(static_cast<unsigned char>(a[i]));
        const unsigned wb = Weight(static_cast<unsigned char>(b[i]));
        if (wa != wb) {
            return wa < wb;
        }
    }
    return a.size() < b.size();
}

std::string_view TrimBlanks(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && IsBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

const std::string* IniSection::Find(std::string_view key) const {
    const auto it = entries_.find(TrimBlanks(key));
    return it == entries_.end() ? nullptr : &it->second;
}

bool IniSection::Set(std::string_view key, std::string_view value) {
    key = TrimBlanks(key);
    if (key.empty()) {
        return false;
    }
    const auto it = entries_.find(key);
    if (it != entries_.end()) {
        it->second.assign(value);
    } else {
        entries_.emplace(std::string(key), std::string(value));
    }
    return true;
}

bool IniSection::Remove(std::string_view key) {
    const auto it = entries_.find(TrimBlanks(key));
    if (it == entries_.end()) {
        return false;
    }
    entries_.erase(it);
    return true;
}

IniSection* IniDocument::FindSection(std::string_view name) {
    const auto it = sections_.find(TrimBlanks(name));
    return it == sections_.end() ? nullptr : &it->second;
}

const IniSection* IniDocument::FindSection(std::string_view name) const {
    const auto it = sections_.find(TrimBlanks(name));
    return it == sections_.end() ? nullptr : &it->second;
}

IniSection& IniDocument::GetOrAddSection(std::string_view name) {
    name = TrimBlanks(name);
    auto it = sections_.find(name);
    if (it == sections_.end()) {
        it = sections_.emplace(std::string(name), IniSection(std::string(name))).first;
    }
    return it->second;
}

IniParseReport ParseIniUtf8(std::string_view text, IniDocument& doc) {
    doc.Clear();
    IniParseReport report;
    IniSection* current = nullptr;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t lf = text.find('\n', pos);
        const std::size_t end = lf == std::string_view::npos ? text.size() : lf;
        std::string_view line = text.substr(pos, end - pos);
        pos = lf == std::string_view::npos ? text.size() : lf + 1;
        ++report.lines;
        if (line.size() > kIniMaxLineBytes) {
            if (report.overlongLines++ == 0) {
                report.firstOverlongLine = report.lines;
            }
            continue;
        }
        while (!line.empty() && IsBlank(line.front())) {
            line.remove_prefix(1);
        }
        while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) {
            line.remove_suffix(1);
        }
        // A CR inside a line is read as the blank the writer puts for it, so that what is kept
        // survives being written and read again (a name of CRs alone is no name).
        std::string blanked;
        if (line.find('\r') != std::string_view::npos) {
            blanked.assign(line);
            std::replace(blanked.begin(), blanked.end(), '\r', ' ');
            line = blanked;
            while (!line.empty() && IsBlank(line.front())) {
                line.remove_prefix(1);
            }
        }
        if (line.empty()) {
            continue;
        }
        if (line.front() == '[') {
            const std::size_t last = line.find_last_not_of(" \t\r\n");
            if (last != std::string_view::npos && last > 0 && line[last] == ']') {
                current = &doc.GetOrAddSection(line.substr(1, last - 1));
                continue;
            }
        }
        const std::size_t eq = line.find('=');
        if (eq == std::string_view::npos || eq == 0) {
            continue;
        }
        if (current == nullptr) {
            ++report.orphanEntries;
            continue;
        }
        current->Set(line.substr(0, eq), line.substr(eq + 1));
    }
    return report;
}

IniParseReport ParseIni(const char* data, std::size_t size, IniDocument& doc) {
    if (data == nullptr) {
        size = 0;
    }
    const std::string_view bytes(data == nullptr ? "" : data, size);
    // A file saved by an editor as UTF-8 with a byte-order mark is read as UTF-8.
    if (IsUtf8WithBom(bytes)) {
        return ParseIniUtf8(bytes.substr(kUtf8Bom.size()), doc);
    }
    return ParseIniUtf8(GbkToUtf8(bytes), doc);
}

bool IsUtf8WithBom(std::string_view bytes) {
    return bytes.starts_with(kUtf8Bom) && IsValidUtf8(bytes.substr(kUtf8Bom.size()));
}

std::string SerializeIniUtf8(const IniDocument& doc) {
    // A line break inside a name or value would split its line and smuggle in new entries on
    // the next read; it is written as a blank.
    auto append = [](std::string& out, std::string_view text) {
        for (const char c : text) {
            out += (c == '\r' || c == '\n') ? ' ' : c;
        }
    };
    std::string out;
    for (const auto& [name, section] : doc.GetSections()) {
        out += '[';
        append(out, name);
        out += "]\r\n";
        for (const auto& [key, value] : section.GetEntries()) {
            append(out, key);
            out += '=';
            append(out, value);
            out += "\r\n";
        }
    }
    return out;
}

std::string SerializeIni(const IniDocument& doc) {
    return Utf8ToGbk(SerializeIniUtf8(doc));
}

}  // namespace ks
