// The INI document: parse, look every entry up (also in another letter case), write it back and
// parse again, which must keep every entry with its value; then the same bytes as the station's
// settings file (load, save, load again: the same settings) and as a language file (texts by key,
// window texts applied to a window the input describes).
//
// Input: one byte, the window's number and controls for the language file, then the file.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "support/DialogTextTarget.h"
#include "support/IniDocument.h"
#include "support/IniLocalLan.h"
#include "support/IniSettingBase.h"
#include "tests/fuzz/FuzzSupport.h"

namespace {

std::string UpperAscii(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return text;
}

void CheckLookups(const ks::IniDocument& doc) {
    for (const auto& [name, section] : doc.GetSections()) {
        FUZZ_CHECK(doc.FindSection(name) == &section);
        FUZZ_CHECK(doc.FindSection(UpperAscii(name)) == &section);
        for (const auto& [key, value] : section.GetEntries()) {
            const std::string* found = section.Find(UpperAscii(key));
            FUZZ_CHECK(found != nullptr && *found == value);
        }
    }
}

// The writer puts a blank for a line break inside a name or value.
std::string Written(std::string text) {
    for (char& c : text) {
        if (c == '\r' || c == '\n') {
            c = ' ';
        }
    }
    return text;
}

// Every entry of kept is in doc with the value it is written with.
void CheckKept(const ks::IniDocument& kept, const ks::IniDocument& doc) {
    for (const auto& [name, section] : kept.GetSections()) {
        const ks::IniSection* other = doc.FindSection(Written(name));
        FUZZ_CHECK(other != nullptr);
        for (const auto& [key, value] : section.GetEntries()) {
            const std::string* found = other->Find(Written(key));
            FUZZ_CHECK(found != nullptr && Written(*found) == Written(value));
        }
    }
}

void Document(const std::string& text) {
    ks::IniDocument doc;
    const ks::IniParseReport report = ParseIni(text.data(), text.size(), doc);
    FUZZ_CHECK(report.overlongLines <= report.lines);
    CheckLookups(doc);
    ks::IniDocument again;
    ParseIniUtf8(SerializeIniUtf8(doc), again);
    CheckKept(doc, again);
    for (const auto& [name, section] : again.GetSections()) {
        FUZZ_CHECK(doc.FindSection(name) != nullptr || Written(name) == name);
        for (const auto& [key, value] : section.GetEntries()) {
            FUZZ_CHECK(Written(key) == key && Written(value) == value);
        }
    }
    // Through code page 936 every name must survive (values may lose characters it lacks).
    ks::IniDocument narrow;
    const std::string gbk = SerializeIni(doc);
    ParseIni(gbk.data(), gbk.size(), narrow);
    FUZZ_CHECK(narrow.GetSections().size() <= doc.GetSections().size());
}

// Loads, saves over the file it came from and loads that again.
void Settings(const std::string& path) {
    CIniSettingBase first;
    FUZZ_CHECK(first.Load(path));
    FUZZ_CHECK(first.Save(""));
    CIniSettingBase second;
    FUZZ_CHECK(second.Load(path));
    const int32_t a[] = {first.LanKinds,     first.Selected,   first.LogLevel,
                         first.SingleRW,     first.SetLoader,  first.ForceMskrom,
                         first.ForceWrite,   first.Compat1Rw,  first.Compat2Rw,
                         first.RebootDevice, first.RPMB,       first.LockConfig,
                         first.SupportAdb,   first.CheckCRC,   first.DeviceType,
                         first.DestPosition, first.GetRkp,     first.WriteKeybox,
                         first.Debug,        first.Jsonformat, first.ResetAfterWrite};
    const int32_t b[] = {second.LanKinds,     second.Selected,   second.LogLevel,
                         second.SingleRW,     second.SetLoader,  second.ForceMskrom,
                         second.ForceWrite,   second.Compat1Rw,  second.Compat2Rw,
                         second.RebootDevice, second.RPMB,       second.LockConfig,
                         second.SupportAdb,   second.CheckCRC,   second.DeviceType,
                         second.DestPosition, second.GetRkp,     second.WriteKeybox,
                         second.Debug,        second.Jsonformat, second.ResetAfterWrite};
    for (size_t i = 0; i < sizeof a / sizeof a[0]; ++i) {
        if (a[i] != b[i]) {
            std::fprintf(stderr, "setting %zu: %d, after saving %d\n", i, a[i], b[i]);
        }
        FUZZ_CHECK(a[i] == b[i]);
    }
    FUZZ_CHECK(first.languageTable.size() == second.languageTable.size());
    FUZZ_CHECK(first.languageTable.size() <= static_cast<size_t>(CIniSettingBase::kMaxLanguages));
    for (size_t i = 0; i < first.languageTable.size(); ++i) {
        FUZZ_CHECK(first.languageTable[i].fontSize == second.languageTable[i].fontSize);
    }
}

// A window whose number and controls come from the input; it keeps the texts it is given.
class Window final : public IDialogTextTarget {
  public:
    explicit Window(uint8_t shape) : shape_(shape) {}
    int DialogId() const override { return 100 + (shape_ & 7); }
    void SetTitle(const std::string& text) override { title = text; }
    std::vector<DialogControl> Controls() const override {
        std::vector<DialogControl> controls;
        for (int i = 0; i < (shape_ >> 3); ++i) {
            controls.push_back({1000 + i, static_cast<DialogControlKind>(i % 4)});
        }
        return controls;
    }
    void SetControlText(int, const std::string&) override { ++texts; }
    int ListViewColumnCount(int) const override { return shape_ & 3; }
    void SetListViewColumnTitle(int, int, const std::string& text) override {
        FUZZ_CHECK(text.size() <= 4 * CIniLocalLan::kMaxColumnTitleUnits);
        ++texts;
    }
    std::string title;
    int texts = 0;

  private:
    uint8_t shape_;
};

void Language(const std::string& path, uint8_t shape) {
    CIniLocalLan lang;
    if (!lang.Load(path)) {
        return;
    }
    FUZZ_CHECK(lang.IsLoaded());
    const ks::IniDocument* doc = lang.Document();
    FUZZ_CHECK(doc != nullptr);
    for (const auto& [name, section] : doc->GetSections()) {
        if (name.find(':') != std::string::npos) {
            continue;
        }
        for (const auto& [key, value] : section.GetEntries()) {
            FUZZ_CHECK(lang.GetText(name + ":" + key) == value);
            if (key.find(':') == std::string::npos) {
                FUZZ_CHECK(lang.GetText(key) == value);
            }
        }
    }
    Window window(shape);
    FUZZ_CHECK(lang.ApplyDialogTexts(window));
    FUZZ_CHECK(window.title.size() >= CIniLocalLan::kTitleSuffix.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Reader in(data, size);
    const uint8_t shape = in.U8();
    const std::vector<uint8_t> bytes = in.Rest();
    const std::string text(bytes.begin(), bytes.end());
    Document(text);
    const std::string path = fuzz::WriteScratchFile("config.ini", bytes.data(), bytes.size());
    Language(path, shape);
    Settings(path);
    std::remove(path.c_str());
    return 0;
}
