// The shipped udev rule must grant access to exactly the vendor ids the station looks for.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

namespace {

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string Trim(const std::string& s) {
    const size_t b = s.find_first_not_of(" \t\r");
    const size_t e = s.find_last_not_of(" \t\r");
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

// The [Vendor] values of devices.ini as sysfs spells idVendor ("f00d").
std::set<std::string> IniVendorIds(const std::string& ini) {
    std::set<std::string> ids;
    std::istringstream lines(ini);
    std::string line;
    bool inVendor = false;
    while (std::getline(lines, line)) {
        line = Trim(line);
        if (line.empty() || line[0] == '#' || line[0] == ';') {
            continue;
        }
        if (line[0] == '[') {
            inVendor = line == "[Vendor]";
            continue;
        }
        const size_t eq = line.find('=');
        if (!inVendor || eq == std::string::npos) {
            continue;
        }
        const unsigned long value = std::stoul(Trim(line.substr(eq + 1)), nullptr, 0);
        char hex[8];
        std::snprintf(hex, sizeof hex, "%04lx", value);
        ids.insert(hex);
    }
    return ids;
}

// The idVendor values the rule grants to plugdev with mode 0660.
std::set<std::string> RuleVendorIds(const std::string& rules) {
    std::set<std::string> ids;
    std::istringstream lines(rules);
    std::string line;
    const std::string key = "ATTR{idVendor}==\"";
    while (std::getline(lines, line)) {
        line = Trim(line);
        if (line.empty() || line[0] == '#') {
            continue;
        }
        const size_t at = line.find(key);
        if (at == std::string::npos) {
            continue;
        }
        EXPECT_NE(line.find("MODE=\"0660\""), std::string::npos) << line;
        EXPECT_NE(line.find("GROUP=\"plugdev\""), std::string::npos) << line;
        EXPECT_NE(line.find("ATTR{power/control}=\"on\""), std::string::npos) << line;
        ids.insert(line.substr(at + key.size(), 4));
    }
    return ids;
}

}  // namespace

TEST(UdevRule, GrantsThePlugdevGroupExactlyTheConfiguredVendors) {
    const std::string ini = ReadText(std::string(KS_SOURCE_DIR) + "/data/devices.ini");
    const std::string rules =
        ReadText(std::string(KS_SOURCE_DIR) + "/data/udev/70-keystation.rules");
    ASSERT_FALSE(ini.empty());
    ASSERT_FALSE(rules.empty());
    const std::set<std::string> vendors = IniVendorIds(ini);
    EXPECT_EQ(vendors.size(), 2u);
    EXPECT_EQ(RuleVendorIds(rules), vendors);
    // The rule applies to USB devices only (not to their interfaces or other subsystems).
    EXPECT_NE(rules.find("SUBSYSTEM!=\"usb\", GOTO=\"keystation_end\""), std::string::npos);
    EXPECT_NE(rules.find("ENV{DEVTYPE}!=\"usb_device\", GOTO=\"keystation_end\""),
              std::string::npos);
    EXPECT_NE(rules.find("LABEL=\"keystation_end\""), std::string::npos);
}
