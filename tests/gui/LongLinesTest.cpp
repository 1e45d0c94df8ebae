// The operator's words where room runs out: a long Chinese status line in the real window is cut
// at a character boundary with "…", fits the label, keeps its whole text as the tool tip, and
// shows more when the window widens; the cut helper never splits a character at any room; and
// the Chinese summary says its counts in Chinese, with no rate for jobs done within a minute.
#include <QLabel>
#include <QTest>

#include <fstream>
#include <sstream>
#include <string>
#include <tuple>

#include "gui/StationWindow.h"
#include "support/IniSettingBase.h"
#include "support/TextElide.h"
#include "tests/gui/GuiStation.h"

using namespace gui_test;
namespace C = StationControl;

class LongLinesTest final : public QObject {
    Q_OBJECT

  private slots:
    void aLongChineseStatusLineIsCutAtACharacterWithAnEllipsis();
    void aFirstStartSpeaksTheSystemsLanguageAndKeepsIt();
};

void LongLinesTest::aLongChineseStatusLineIsCutAtACharacterWithAnEllipsis() {
    // The helper: at every room in bytes, a valid start of the text and the ellipsis.
    const std::string mixed = "RKP文件夹已满：请释放空间或选择其他文件夹 (errno 28) 𠀋 end";
    for (size_t room = 0; room <= mixed.size() + 3; ++room) {
        const std::string cut =
            ks::ElideUtf8(mixed, [room](std::string_view text) { return text.size() <= room; });
        const QString shown = QString::fromStdString(cut);
        QVERIFY2(shown.toStdString() == cut && !shown.contains(QChar(0xFFFD)), cut.c_str());
        if (room >= mixed.size()) {
            QCOMPARE(cut, mixed);
            continue;
        }
        QVERIFY(shown.endsWith(QChar(0x2026)));
        const std::string start = cut.substr(0, cut.size() - ks::kEllipsis.size());
        QCOMPARE(mixed.compare(0, start.size(), start), 0);
        QVERIFY(cut.size() <= room || start.empty());
    }
    QCOMPARE(ks::Utf8Columns("密钥 ok"), size_t{7});

    GuiStation station("longlines");
    station.language["Selected"] = "1";
    QVERIFY(station.Boot().started);
    QLabel* status = station.Window().Label(C::kStatusLine);
    QVERIFY(status != nullptr);
    QString line;
    for (int i = 0; line.size() < 400; ++i) {
        line +=
            QStringLiteral("第%1块板：保存RKP数据失败，可能已有密钥，请将此板单独放置。").arg(i);
    }
    station.Controller().Model().SetControlText(C::kStatusLine, line.toStdString());
    QVERIFY(WaitFor([&] { return status->toolTip() == line; }));
    const QFontMetrics metrics(status->font());
    const QString narrow = status->text();
    QVERIFY(narrow.endsWith(QChar(0x2026)));
    QVERIFY(line.startsWith(narrow.chopped(1)));
    QVERIFY(!narrow.contains(QChar(0xFFFD)));
    QVERIFY(metrics.horizontalAdvance(narrow) <= status->contentsRect().width());
    QCOMPARE(station.Text(C::kStatusLine), line);  // what the controller said, whole

    // A wider window shows more of it, still cut at a character.
    station.Window().resize(station.Window().width() + 300, station.Window().height());
    QVERIFY(WaitFor([&] { return status->text().size() > narrow.size(); }));
    QVERIFY(status->text().endsWith(QChar(0x2026)));
    QVERIFY(line.startsWith(status->text().chopped(1)));

    // The summary in Chinese: a board that failed (no unused key), within a minute of the start.
    QVERIFY(station.Plug("1-1"));
    QVERIFY(station.WaitBound("1-1"));
    station.Controller().LoadKeyFile(station.MakeKeyFile("keys.kdb", 2, 32, {0, 1}));
    QVERIFY(WaitFor([&] { return station.Controller().KeyFile() != nullptr; }));
    station.Controller().MutableSettings().WriteKeybox = 1;
    station.Click(C::kStartStopButton);
    QVERIFY(WaitFor([&] { return station.Text(C::kSummaryLabel).contains(QChar(0x6B21)); }));
    const QString summary = station.Text(C::kSummaryLabel);
    QVERIFY2(summary.startsWith(QStringLiteral("1 件，用时0:0")), qPrintable(summary));
    QVERIFY2(summary.contains(QStringLiteral("\n1次 ")), qPrintable(summary));
    QVERIFY(!summary.contains(QStringLiteral(" x ")));
    station.Click(C::kStartStopButton);
}

void LongLinesTest::aFirstStartSpeaksTheSystemsLanguageAndKeepsIt() {
    // config.ini selects English; a first start on a Chinese system speaks Chinese and saves it.
    for (const auto& [locale, start, selected] :
         {std::tuple<const char*, const char*, const char*>{"zh_CN", "开始", "Selected=1"},
          {"zh_TW.UTF-8", "开始", "Selected=1"},
          {"de_DE", "Start", "Selected=0"}}) {
        GuiStation station(std::string("firststart_") + locale[0] + locale[1] + locale[3]);
        station.systemLocale = locale;
        QVERIFY(station.Boot().started);
        QCOMPARE(station.Text(C::kStartStopButton), QString::fromUtf8(start));
        QVERIFY(station.Controller().OnClose());
        std::ifstream in(station.Home() / "config.ini");
        std::stringstream text;
        text << in.rdbuf();
        QVERIFY2(text.str().find(selected) != std::string::npos, locale);
    }
}

QTEST_MAIN(LongLinesTest)
#include "LongLinesTest.moc"
