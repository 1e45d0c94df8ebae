// What the report tests share: the results files read independently of kdbtool, and the report's
// text cut into its sections.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

namespace report_fixture {

inline std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Every JSON line of the files, in file order.
inline std::vector<nlohmann::json> Records(const std::vector<std::string>& files) {
    std::vector<nlohmann::json> out;
    for (const std::string& file : files) {
        std::istringstream lines(ReadFile(file));
        std::string line;
        while (std::getline(lines, line)) {
            if (!line.empty()) {
                out.push_back(nlohmann::json::parse(line));
            }
        }
    }
    return out;
}

// The lines of the report's section `title` (up to the next empty line), without the title.
inline std::vector<std::string> Section(const std::string& text, const std::string& title) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    bool inside = false;
    while (std::getline(in, line)) {
        if (!inside) {
            inside = line == title || line.rfind(title + " (", 0) == 0;
            continue;
        }
        if (line.empty()) {
            break;
        }
        lines.push_back(line);
    }
    return lines;
}

inline std::vector<std::string> SplitTabs(const std::string& line) {
    std::vector<std::string> cells;
    size_t begin = 0;
    while (true) {
        const size_t tab = line.find('\t', begin);
        cells.push_back(line.substr(begin, tab - begin));
        if (tab == std::string::npos) {
            return cells;
        }
        begin = tab + 1;
    }
}

}  // namespace report_fixture
