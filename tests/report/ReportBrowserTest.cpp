// The HTML shift report as a supervisor sees it: a week of results from sixteen boards, the page
// opened in a headless Chromium and its screenshot looked at. The plots must be drawn (bar
// colours in both plot areas, each failure reason's colour in the failures plot) and the Chinese
// texts must render: the failure-reason cell, whose text the browser read as the expected
// Chinese characters, must look different from the same page drawn where no font has Chinese
// glyphs (where the characters become empty boxes).
//
// The screenshot is kept as tests/report/shift-report.png in the build folder.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QColor>
#include <QImage>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/keydb/KeyDbTestSupport.h"
#include "tests/report/GeneratedWeek.h"
#include "tests/report/ReportTestKit.h"

namespace fs = std::filesystem;
using report_fixture::ReadFile;

namespace {

constexpr int kWidth = 1280;
constexpr int kHeight = 1400;

std::string FindChromium() {
    for (const char* name : {"/usr/bin/chromium", "/usr/bin/chromium-browser"}) {
        if (access(name, X_OK) == 0) {
            return name;
        }
    }
    return std::string();
}

// Chromium as the brief allows it: headless, no sandbox (tests may run as root), nothing from
// the network, a fresh profile.
keydbtest::ProgramResult Chromium(const std::string& chromium, const fs::path& profile,
                                  const std::vector<std::string>& extra,
                                  const std::string& fontConfig = std::string()) {
    std::vector<std::string> args;
    if (!fontConfig.empty()) {
        args = {"/usr/bin/env", "FONTCONFIG_FILE=" + fontConfig};
    }
    args.insert(args.end(),
                {chromium, "--headless", "--no-sandbox", "--disable-gpu",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--no-first-run", "--user-data-dir=" + profile.string(),
                 "--force-device-scale-factor=1", "--hide-scrollbars",
                 "--window-size=" + std::to_string(kWidth) + "," + std::to_string(kHeight)});
    args.insert(args.end(), extra.begin(), extra.end());
    return keydbtest::RunProgram(args);
}

struct Box {
    int x = 0, y = 0, w = 0, h = 0;
};

// Counts pixels of the box within `tolerance` of `colour` (per channel).
int CountColour(const QImage& image, const Box& b, QRgb colour, int tolerance = 12) {
    int n = 0;
    for (int y = b.y; y < b.y + b.h && y < image.height(); ++y) {
        for (int x = b.x; x < b.x + b.w && x < image.width(); ++x) {
            const QRgb p = image.pixel(x, y);
            if (std::abs(qRed(p) - qRed(colour)) <= tolerance &&
                std::abs(qGreen(p) - qGreen(colour)) <= tolerance &&
                std::abs(qBlue(p) - qBlue(colour)) <= tolerance) {
                ++n;
            }
        }
    }
    return n;
}

int CountDifferent(const QImage& a, const QImage& b, const Box& box) {
    int n = 0;
    for (int y = box.y; y < box.y + box.h; ++y) {
        for (int x = box.x; x < box.x + box.w; ++x) {
            n += a.pixel(x, y) != b.pixel(x, y) ? 1 : 0;
        }
    }
    return n;
}

int CountDark(const QImage& image, const Box& b) {
    int n = 0;
    for (int y = b.y; y < b.y + b.h; ++y) {
        for (int x = b.x; x < b.x + b.w; ++x) {
            n += qGray(image.pixel(x, y)) < 128 ? 1 : 0;
        }
    }
    return n;
}

}  // namespace

TEST(ReportBrowser, PlotsAreDrawnAndChineseTextsRender) {
    const std::string chromium = FindChromium();
    if (chromium.empty()) {
        GTEST_SKIP() << "chromium is not installed (scripts/deps.sh test installs it)";
    }
    keydbtest::TempDir dir;
    const fs::path folder = dir.Path();
    report_fixture::WeekTotals totals;
    const std::vector<std::string> files = report_fixture::WriteWeek(folder.string(), 7, &totals);

    std::vector<std::string> args = {"report"};
    args.insert(args.end(), files.begin(), files.end());
    const std::string html = (folder / "shift.html").string();
    args.insert(args.end(), {"--html", html});
    const keydbtest::ProgramResult report = keydbtest::RunKdbtool(args);
    ASSERT_EQ(report.exitCode, 0) << report.err;
    char line[160];
    std::snprintf(line, sizeof line,
                  "jobs: %lld (ok %lld, fail %lld, already %lld, stopped 0); practice: %lld",
                  static_cast<long long>(totals.jobs), static_cast<long long>(totals.ok),
                  static_cast<long long>(totals.fail), static_cast<long long>(totals.already),
                  static_cast<long long>(totals.practice));
    EXPECT_NE(report.out.find(line), std::string::npos) << "the week's totals";
    const std::vector<std::string> runs = report_fixture::Section(report.out, "station runs");
    EXPECT_EQ(static_cast<int64_t>(runs.size()), totals.runs);
    int64_t crashed = 0;
    for (const std::string& run : runs) {
        crashed += run.find("CRASHED") != std::string::npos ? 1 : 0;
    }
    EXPECT_EQ(crashed, totals.crashedRuns);
    std::map<int, int64_t> bySlot;
    for (const std::string& slot : report_fixture::Section(report.out, "failures per slot")) {
        int number = 0;
        long long failed = 0;
        ASSERT_EQ(std::sscanf(slot.c_str() + slot.find(" slot "), " slot %d failed %lld", &number,
                              &failed),
                  2);
        if (failed > 0) {
            bySlot[number] = failed;
        }
    }
    EXPECT_EQ(bySlot, totals.failuresBySlot);

    // Where the page puts things: the same page with a script that writes the boxes of the two
    // plots and of the first failure-reason cell into the page, read back with --dump-dom.
    std::string page = ReadFile(html);
    const std::string probe =
        "<script>function b(e){const r=e.getBoundingClientRect();return [Math.round(r.left),"
        "Math.round(r.top),Math.round(r.width),Math.round(r.height)].join(' ');}"
        "const c=document.querySelector('#reasons td.reason');"
        "const p=document.createElement('pre');p.id='probe';"
        "p.textContent='BOXES '+b(document.getElementById('plot-jobs'))+' '+"
        "b(document.getElementById('plot-failures'))+' '+b(c)+' END '+c.textContent+' TEXT';"
        "document.body.appendChild(p);</script>";
    const size_t end = page.rfind("</body>");
    ASSERT_NE(end, std::string::npos);
    page.insert(end, probe);
    const fs::path probeHtml = folder / "probe.html";
    keydbtest::WriteBytes(probeHtml.string(), std::vector<uint8_t>(page.begin(), page.end()));
    const keydbtest::ProgramResult dom =
        Chromium(chromium, folder / "profile-dom", {"--dump-dom", "file://" + probeHtml.string()});
    const std::string marker = "<pre id=\"probe\">BOXES ";
    const size_t at = dom.out.find(marker);
    ASSERT_NE(at, std::string::npos) << dom.err;
    std::istringstream boxes(dom.out.substr(at + marker.size()));
    Box jobs, failures, reason;
    boxes >> jobs.x >> jobs.y >> jobs.w >> jobs.h >> failures.x >> failures.y >> failures.w >>
        failures.h >> reason.x >> reason.y >> reason.w >> reason.h;
    ASSERT_FALSE(boxes.fail()) << dom.out.substr(at, 200);
    const size_t textAt = dom.out.find(" END ", at);
    const size_t textEnd = dom.out.find(" TEXT", textAt);
    ASSERT_NE(textEnd, std::string::npos);
    const std::string reasonText = dom.out.substr(textAt + 5, textEnd - textAt - 5);
    // The most frequent reason of the week is one of its Chinese texts, as the browser read it.
    std::set<std::string> chinese;
    for (const auto& f : report_fixture::WeekFailures()) {
        chinese.insert(f.text);
    }
    EXPECT_EQ(chinese.count(reasonText), 1u) << reasonText;
    ASSERT_GT(jobs.w, 400);
    ASSERT_GT(failures.w, 400);
    ASSERT_GT(reason.w, 20);
    ASSERT_LT(reason.y + reason.h, kHeight) << "the reason cell lies inside the screenshot";

    // The page itself, once with the machine's fonts and once where no font has CJK glyphs.
    const fs::path shot = folder / "shot.png";
    const keydbtest::ProgramResult taken = Chromium(
        chromium, folder / "profile-shot", {"--screenshot=" + shot.string(), "file://" + html});
    ASSERT_TRUE(fs::exists(shot)) << taken.err;
    const fs::path fontless = folder / "latin-only.conf";
    const std::string config =
        "<?xml version=\"1.0\"?><!DOCTYPE fontconfig SYSTEM \"fonts.dtd\"><fontconfig>"
        "<dir>/usr/share/fonts/truetype/dejavu</dir><cachedir>" +
        (folder / "fc-cache").string() + "</cachedir></fontconfig>";
    keydbtest::WriteBytes(fontless.string(), std::vector<uint8_t>(config.begin(), config.end()));
    const fs::path boxesShot = folder / "shot-latin-only.png";
    Chromium(chromium, folder / "profile-latin",
             {"--screenshot=" + boxesShot.string(), "file://" + html}, fontless.string());
    ASSERT_TRUE(fs::exists(boxesShot));

    QImage image(QString::fromStdString(shot.string()));
    QImage latin(QString::fromStdString(boxesShot.string()));
    ASSERT_FALSE(image.isNull());
    ASSERT_EQ(image.size(), latin.size());
    ASSERT_EQ(image.width(), kWidth);

    // Jobs per hour: green (ok) and red (failed) bars over a real part of the plot.
    const int plotArea = jobs.w * jobs.h;
    EXPECT_GT(CountColour(image, jobs, qRgb(0x2e, 0x9e, 0x44)), plotArea / 20);
    EXPECT_GT(CountColour(image, jobs, qRgb(0xd0, 0x31, 0x2d)), 0);
    // Failures by slot and reason: every one of the week's six reasons has its colour drawn, and
    // slot 7's bar (the bad cable) stands out.
    for (QRgb colour : {qRgb(0xd0, 0x31, 0x2d), qRgb(0xe8, 0x87, 0x1e), qRgb(0x8e, 0x44, 0xad),
                        qRgb(0x1f, 0x77, 0xb4), qRgb(0x17, 0xbe, 0xcf), qRgb(0x8c, 0x56, 0x4b)}) {
        EXPECT_GT(CountColour(image, failures, colour), 20) << std::hex << colour;
    }
    // The Chinese reason: ink in its cell, and not the drawing of the boxes a font-less machine
    // shows for the same characters.
    EXPECT_GT(CountDark(image, reason), 30);
    EXPECT_GT(CountDark(latin, reason), 10) << "the font-less page shows boxes in the cell";
    EXPECT_GT(CountDifferent(image, latin, reason), reason.w * reason.h / 20);

    const fs::path kept = fs::path(KS_BINARY_DIR) / "tests" / "report";
    fs::create_directories(kept);
    fs::copy_file(shot, kept / "shift-report.png", fs::copy_options::overwrite_existing);
    fs::copy_file(html, kept / "shift-report.html", fs::copy_options::overwrite_existing);
    std::printf("[ screenshot ] %s\n", (kept / "shift-report.png").c_str());
}
