// Practice never spends production's keys: a production station spends a key of its key file,
// then practice stations (real windows) are pointed at that stock under its own name, under
// another name, at a file whose header marks keys used elsewhere, and at a key pool. Each is
// refused in the operator's words, and nothing of the stock is touched or recorded. Practice makes
// and loads its own key file instead, whose keys it may spend again; with the explicit option it
// takes production's file, and its results say practice.
#include <QLabel>
#include <QMessageBox>
#include <QTest>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/PracticeKeys.h"
#include "keydb/KeyFile.h"
#include "tests/gui/GuiStation.h"

using namespace gui_test;
namespace C = StationControl;

namespace {

std::string Bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Every line of the station's results files.
std::vector<std::string> ResultLines(const fs::path& home) {
    std::vector<std::string> lines;
    if (!fs::exists(home / "results")) {
        return lines;
    }
    for (const auto& entry : fs::directory_iterator(home / "results")) {
        std::ifstream in(entry.path());
        for (std::string line; std::getline(in, line);) {
            lines.push_back(line);
        }
    }
    return lines;
}

int CountWith(const std::vector<std::string>& lines, const std::string& a, const std::string& b) {
    int n = 0;
    for (const std::string& line : lines) {
        n += line.find(a) != std::string::npos && line.find(b) != std::string::npos ? 1 : 0;
    }
    return n;
}

// Accepts the next message box and keeps its text.
class MessageCatcher {
  public:
    MessageCatcher()
        : driver_([this](QMessageBox* box) {
              text_ = box->text();
              box->accept();
          }) {}
    bool Handled() const { return driver_.Handled(); }
    const QString& Text() const { return text_; }

  private:
    QString text_;
    ModalDriver<QMessageBox> driver_;
};

// Plugs a board (a demo board's number: its serial number), runs one job and stops; true when it
// succeeded.
bool RunOneBoard(GuiStation& station, const std::string& location, const QString& success,
                 int board = 0) {
    if (!station.Plug(location, board) || !station.WaitBound(location)) {
        return false;
    }
    station.Click(C::kStartStopButton);
    const bool done = WaitFor([&] { return station.Text(C::kSuccessCounter) == success; });
    if (!done) {
        qWarning("status line: %s; fail %s; state %d; key file: %s",
                 qPrintable(station.Text(C::kStatusLine)),
                 qPrintable(station.Text(C::kFailCounter)),
                 static_cast<int>(station.Controller().State()),
                 qPrintable(station.Text(C::kKeyFileLabel)));
    }
    station.Click(C::kStartStopButton);
    return WaitFor([&] { return station.Controller().State() == StationState::kIdle; }) && done;
}

}  // namespace

class PracticeKeysTest final : public QObject {
    Q_OBJECT

  private slots:
    void practiceRefusesProductionStocksAndSpendsOnlyItsOwnKeys();
};

void PracticeKeysTest::practiceRefusesProductionStocksAndSpendsOnlyItsOwnKeys() {
    // Production spends one key of its file.
    GuiStation production("practice_production");
    production.system["WriteKeybox"] = "1";
    const std::string kdb = production.MakeKeyFile("line.kdb", 20, 32);
    const std::string productionFolder = production.Home().string() + "/";
    {
        QVERIFY(production.Boot().started);
        production.Controller().LoadKeyFile(kdb);
        QVERIFY(WaitFor([&] { return production.Controller().KeyFile() != nullptr; }));
        QVERIFY(RunOneBoard(production, "1-1", QStringLiteral("00001")));
        production.Controller().OnClose();
    }
    const size_t productionResults = ResultLines(production.Home()).size();
    std::string digest;
    {
        CKeyFile file(kdb, nullptr, KeyFileAccess::VerifyOnly);
        QVERIFY(file.IsValid());
        digest = file.GetDigestHex();
    }
    const std::string stockBytes = Bytes(kdb);

    {
        GuiStation practice("practice_refusing");
        practice.practice = true;
        practice.productionFolder = productionFolder;
        practice.system["WriteKeybox"] = "1";
        QVERIFY(practice.Boot().started);
        const QString banner = practice.Lang("IDS_PRACTICE");
        const fs::path practiceJournal = practice.Home() / "stocks" / (digest + ".journal.jsonl");

        // The production file, a copy of it under another name, and a file whose header has keys
        // used by no run of this practice station: each refused, nothing loaded, nothing recorded.
        const fs::path copy = practice.Home() / "practice-looking.kdb";
        fs::copy_file(kdb, copy);
        const std::string usedElsewhere = practice.MakeKeyFile("used.kdb", 10, 32, {0, 3});
        for (const std::string& path : {kdb, copy.string(), usedElsewhere}) {
            MessageCatcher message;
            practice.Controller().LoadKeyFile(path);
            QVERIFY2(message.Handled(), path.c_str());
            QCOMPARE(message.Text(), practice.Lang("IDS_PRACTICE_KEYFILE_USED"));
            QCOMPARE(practice.Text(C::kStatusLine),
                     banner + " | " + practice.Lang("IDS_PRACTICE_KEYFILE_USED"));
            QVERIFY(practice.Controller().KeyFile() == nullptr);
        }
        QVERIFY(!fs::exists(practiceJournal));
        QCOMPARE(Bytes(kdb), stockBytes);
        QCOMPARE(Bytes(copy.string()), stockBytes);

        // A key pool is refused before any connection is tried.
        {
            MessageCatcher message;
            practice.Controller().LoadKeyPool("host=192.0.2.1 connect_timeout=30", "line", "",
                                              false);
            QVERIFY(message.Handled());
            QCOMPARE(message.Text(), practice.Lang("IDS_PRACTICE_POOL"));
        }

        // Without a key source given, practice makes its own key file and loads it; its keys go to
        // simulated boards, and the file can be loaded again once practice has used it.
        practice.Controller().ApplyArguments(StationArguments());
        QVERIFY(WaitFor([&] { return practice.Controller().KeyFile() != nullptr; }));
        const std::string own = practice.Home().string() + "/" + kPracticeKeyFileName;
        QVERIFY2(WaitFor([&] {
                     return practice.Text(C::kKeyFileLabel).endsWith(QString::fromStdString(own));
                 }),
                 qPrintable(practice.Text(C::kKeyFileLabel)));
        QVERIFY(practice.Text(C::kKeyCountLabel).endsWith(QString::number(kPracticeKeyCount)));
        QVERIFY(RunOneBoard(practice, "1-1", QStringLiteral("00001")));
        practice.Controller().LoadKeyFile(own);
        QVERIFY(WaitFor([&] { return practice.Controller().KeyFile() != nullptr; }));
        QVERIFY(practice.Text(C::kUnusedLabel).endsWith(QString::number(kPracticeKeyCount - 1)));
        const std::vector<std::string> practiceLines = ResultLines(practice.Home());
        QCOMPARE(CountWith(practiceLines, "\"result\":\"ok\"", "\"practice\":true"), 1);
        QCOMPARE(CountWith(practiceLines, "\"result\":\"ok\"", ""), 1);
        QCOMPARE(CountWith(practiceLines, "\"practice\":true", ""),
                 static_cast<int>(practiceLines.size()));
        QCOMPARE(ResultLines(production.Home()).size(), productionResults);
        QCOMPARE(Bytes(kdb), stockBytes);
    }

    // Told explicitly, practice takes production's key file; its results say practice.
    GuiStation told("practice_told");
    told.practice = true;
    told.productionFolder = productionFolder;
    told.practiceWithProductionKeys = true;
    told.system["WriteKeybox"] = "1";
    QVERIFY(told.Boot().started);
    told.Controller().LoadKeyFile(kdb);
    QVERIFY(WaitFor([&] { return told.Controller().KeyFile() != nullptr; }));
    QVERIFY(RunOneBoard(told, "1-1", QStringLiteral("00001"), 1));
    const std::vector<std::string> toldLines = ResultLines(told.Home());
    QCOMPARE(CountWith(toldLines, "\"result\":\"ok\"", "\"practice\":true"), 1);
    QCOMPARE(CountWith(toldLines, "\"key_source\":\"line.kdb\"", "\"result\":\"ok\""), 1);
    QCOMPARE(CountWith(toldLines, "\"practice\":true", ""), static_cast<int>(toldLines.size()));
    QCOMPARE(ResultLines(production.Home()).size(), productionResults);
}

QTEST_MAIN(PracticeKeysTest)
#include "PracticeKeysTest.moc"
