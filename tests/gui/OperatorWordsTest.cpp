// What the operator reads and sees, in English and in Chinese, grouped by the fault each guards
// against: boards that hold their key already shown as failures, refusals in developer words,
// a full disk blamed on the keys, texts that collide or are cut, a window that does not guide,
// and practice taken for the line.

#include <QFontMetrics>
#include <QMessageBox>
#include <QTest>
#include <atomic>
#include <fstream>

#include "app/OperatorWords.h"
#include "gui/DeviceTable.h"
#include "keydb/KeyFile.h"
#include "keydb/KeySource.h"
#include "provision/JobRecord.h"
#include "support/IniSettingBase.h"
#include "tests/gui/GuiStation.h"

using namespace gui_test;
namespace C = StationControl;

namespace {

const char* const kLanguages[] = {"0", "1"};  // Selected: English.ini, Chinese.ini

// Fills the disk of `folder` until a write fails.
void FillDisk(const fs::path& folder) {
    std::ofstream filler(folder / "filler", std::ios::binary);
    const std::string block(4096, 'x');
    for (int i = 0; i < 100000 && filler.write(block.data(), block.size()); ++i) {
        filler.flush();
    }
}

bool IsAscii(const QString& text) {
    for (const QChar c : text) {
        if (c.unicode() > 127) {
            return false;
        }
    }
    return true;
}

// A key source out of reach after it was loaded, as a pool whose server went away: it hands out
// nothing and cannot count.
class CUnreachableSource final : public IKeySource {
  public:
    explicit CUnreachableSource(std::unique_ptr<CKeyFile> file)
        : file_(std::move(file)), inner_(file_.get(), "pool") {}
    std::atomic<bool> down = false;
    bool TakeKey(const KeyJobInfo& job, int32_t* index, KeyCopy* key) override {
        return !down && inner_.TakeKey(job, index, key);
    }
    bool ReserveKey(int32_t index, const KeyJobInfo& job) override {
        return !down && inner_.ReserveKey(index, job);
    }
    bool DeliverKey(int32_t index, const KeyJobInfo& job) override {
        return !down && inner_.DeliverKey(index, job);
    }
    bool SpendKey(int32_t index, const KeyJobInfo& job, const std::string& step,
                  int code) override {
        return !down && inner_.SpendKey(index, job, step, code);
    }
    bool ReturnUnsentKey(int32_t index, const KeyJobInfo& job) override {
        return inner_.ReturnUnsentKey(index, job);
    }
    bool IsUsedKey(const uint8_t* data, size_t size) override {
        return !down && inner_.IsUsedKey(data, size);
    }
    bool WasReservedFor(const std::string& serial) override {
        return !down && inner_.WasReservedFor(serial);
    }
    bool GetCounts(KeySourceCounts* out) override { return !down && inner_.GetCounts(out); }
    int32_t GetKeySize() const override { return inner_.GetKeySize(); }
    const uint8_t* GetRecordInfo() const override { return inner_.GetRecordInfo(); }
    std::string GetCreateTime() const override { return inner_.GetCreateTime(); }
    std::string Describe() const override { return "practice pool"; }
    bool IsBroken() const override { return false; }

  private:
    std::unique_ptr<CKeyFile> file_;
    CKeyFileSource inner_;
};

std::optional<QColor> ColourOf(GuiStation& station, int row) {
    return station.Window().Table()->RowColour(row);
}

}  // namespace

class OperatorWordsTest final : public QObject {
    Q_OBJECT

  private slots:
    void boardsThatHoldTheirKeyAreNoFailureInEitherLanguage();
    void keyFileRefusalsSayWhatToDoInEitherLanguage();
    void aFullDiskIsNamedAndBoardsThatNeverStartedKeepNoFalseReason();
    void aKeyPoolOutOfReachIsNotAnEmptyPool();
    void textsFitTheirControlsAndTheStatusTextKeepsClearOfTheTime();
    void theWindowGuidesAFreshStartAndPracticeIsMarked();
};

void OperatorWordsTest::boardsThatHoldTheirKeyAreNoFailureInEitherLanguage() {
    for (const char* selected : kLanguages) {
        GuiStation station(std::string("already") + selected);
        station.language["Selected"] = selected;
        station.system["GetRkp"] = "1";
        station.system["WriteKeybox"] = "1";
        const std::string kdb = station.MakeKeyFile("keys.kdb", 8, 32);
        QVERIFY(station.Plug("1-1", 0));
        QVERIFY(station.Plug("1-2", 1));
        QVERIFY(station.Boot().started);
        QVERIFY(station.WaitBound("1-2"));
        station.Controller().LoadKeyFile(kdb);
        station.Click(C::kStartStopButton);
        QVERIFY(WaitFor(
            [&] { return ColourOf(station, 0) && ColourOf(station, 1) && !station.AnyRunning(); }));
        QCOMPARE(ColourOf(station, 0), QColor(0, 255, 0));
        station.Click(C::kStartStopButton);
        QVERIFY(WaitFor([&] { return station.Controller().State() == StationState::kIdle; }));

        // Stop, then Start over the two passed boards: each says to remove it, in its own colour.
        station.Click(C::kStartStopButton);
        const QColor already(kRowAlready.red, kRowAlready.green, kRowAlready.blue);
        QVERIFY(WaitFor([&] {
            return ColourOf(station, 0) == already && ColourOf(station, 1) == already &&
                   !station.AnyRunning();
        }));
        QCOMPARE(already == QColor(0, 255, 0) || already == QColor(255, 0, 0), false);
        const QString words = station.Lang("IDS_ALREADY_PROVISIONED");
        QCOMPARE(station.Window().Table()->CellText(0, kColumnStatus), words);
        QCOMPARE(IsAscii(words), std::string(selected) == "0");
        // Fail and Total mean what they meant: two jobs, two successes.
        QCOMPARE(station.Text(C::kSuccessCounter), QStringLiteral("00002"));
        QCOMPARE(station.Text(C::kFailCounter), QStringLiteral("00000"));
        QCOMPARE(station.Text(C::kTotalCounter), QStringLiteral("00002"));
        QVERIFY2(station.Text(C::kSummaryLabel)
                     .contains(QStringLiteral("2 ") + station.Lang("IDS_SUMMARY_ALREADY")),
                 qPrintable(station.Text(C::kSummaryLabel)));
        QCOMPARE(station.Controller().Summary().topFailures.size(), size_t{0});
        station.Click(C::kStartStopButton);
        QVERIFY(WaitFor([&] { return station.Controller().State() == StationState::kIdle; }));

        // One RKP file per board (the application folder keeps them), and "already" results.
        int rkpFiles = 0;
        for (const auto& entry : fs::directory_iterator(station.Home())) {
            rkpFiles += entry.path().extension() == ".json" ? 1 : 0;
        }
        QCOMPARE(rkpFiles, 2);
        int alreadyLines = 0;
        for (const auto& entry : fs::directory_iterator(station.Home() / "results")) {
            std::ifstream in(entry.path());
            for (std::string line; std::getline(in, line);) {
                alreadyLines += line.find("\"result\":\"already\"") != std::string::npos ? 1 : 0;
            }
        }
        QCOMPARE(alreadyLines, 2);
    }
}

void OperatorWordsTest::keyFileRefusalsSayWhatToDoInEitherLanguage() {
    std::map<std::string, QString> english;
    for (const char* selected : kLanguages) {
        GuiStation station(std::string("refusals") + selected);
        station.language["Selected"] = selected;
        const std::string good = station.MakeKeyFile("good.kdb", 10, 32);
        struct Case {
            std::string file;
            const char* words;
        };
        std::vector<Case> cases;
        // Damaged: one key byte changed, so the key area's digest no longer matches.
        fs::copy_file(good, station.Home() / "damaged.kdb");
        {
            std::fstream f(station.Home() / "damaged.kdb",
                           std::ios::in | std::ios::out | std::ios::binary);
            f.seekp(-3, std::ios::end);
            f.put('\x5a');
        }
        cases.push_back({"damaged.kdb", "IDS_KEYFILE_DAMAGED"});
        WriteText(station.Home() / "notes.kdb", "hello, this is no key file at all\n");
        cases.push_back({"notes.kdb", "IDS_KEYFILE_NOT_KEYFILE"});
        fs::copy_file(good, station.Home() / "short.kdb");
        fs::resize_file(station.Home() / "short.kdb", fs::file_size(good) - 40);
        cases.push_back({"short.kdb", "IDS_KEYFILE_CUT_SHORT"});
        cases.push_back({"missing.kdb", "IDS_KEYFILE_NOT_FOUND"});
        // Another station holds this one.
        const std::string held = station.MakeKeyFile("held.kdb", 10, 32);
        CKeyFile otherStation(held);
        QVERIFY(otherStation.IsValid());
        cases.push_back({"held.kdb", "IDS_KEYFILE_IN_USE"});
        // A folder where the journal beside the file belongs: no record could be written.
        station.MakeKeyFile("nojournal.kdb", 10, 32);
        fs::create_directory(station.Home() / "nojournal.kdb.journal.jsonl");
        cases.push_back({"nojournal.kdb", "IDS_KEYFILE_JOURNAL"});
        // A read-only folder (a read-only file system: root may write any other folder).
        const fs::path readOnly = station.Home() / "ro";
        SmallDisk readOnlyDisk(readOnly, 1 << 20);
        if (readOnlyDisk.Mounted()) {
            fs::copy_file(good, readOnly / "keys.kdb");
            QVERIFY(readOnlyDisk.MakeReadOnly());
            cases.push_back({"ro/keys.kdb", "IDS_KEYFILE_READ_ONLY"});
        } else {
            qWarning("no tmpfs here: the read-only folder is not tried");
        }
        QVERIFY(station.Boot().started);

        for (const Case& c : cases) {
            QString text, caption;
            ModalDriver<QMessageBox> message([&](QMessageBox* box) {
                text = box->text();
                caption = box->windowTitle();
                box->accept();
            });
            station.Controller().LoadKeyFile((station.Home() / c.file).string());
            QVERIFY2(message.Handled(), c.file.c_str());
            const QString words = station.Lang(c.words);
            QVERIFY2(!words.isEmpty() && words != QString::fromLatin1(c.words), c.words);
            QCOMPARE(text, station.Lang("IDS_LOADING_FW_FAIL") + ": " + words);
            QCOMPARE(caption, station.Lang("IDS_CAPTION_ERROR"));
            QVERIFY(WaitFor([&] { return station.Text(C::kStatusLine) == words; }));
            // No developer words: nothing of the failing check's own text.
            QVERIFY2(!text.contains(QStringLiteral("CKeyFile")) && !text.contains("err="),
                     qPrintable(text));
            if (std::string(selected) == "0") {
                english[c.words] = words;
            } else {
                // Chinese throughout, not English behind a Chinese prefix.
                QVERIFY2(!IsAscii(words) && words != english[c.words], qPrintable(words));
            }
        }
    }
}

void OperatorWordsTest::aFullDiskIsNamedAndBoardsThatNeverStartedKeepNoFalseReason() {
    for (const char* selected : kLanguages) {
        GuiStation station(std::string("fulldisk") + selected);
        station.language["Selected"] = selected;
        station.system["WriteKeybox"] = "1";
        const fs::path disk = station.Home() / "disk";
        SmallDisk smallDisk(disk, 256 * 1024);
        if (!smallDisk.Mounted()) {
            QSKIP("no tmpfs here: the full disk is not tried");
        }
        const std::string kdb = (disk / "keys.kdb").string();
        fs::copy_file(station.MakeKeyFile("keys.kdb", 40, 32), kdb);
        for (int i = 0; i < 8; ++i) {
            QVERIFY(station.Plug("1-" + std::to_string(i + 1), i));
        }
        QVERIFY(station.Boot().started);
        QVERIFY(station.WaitBound("1-8"));
        station.Controller().LoadKeyFile(kdb);
        QVERIFY(WaitFor([&] { return station.Text(C::kUnusedLabel).endsWith(":40"); }));
        FillDisk(disk);

        QString text;
        ModalDriver<QMessageBox> message([&](QMessageBox* box) {
            text = box->text();
            box->accept();
        });
        station.Click(C::kStartStopButton);
        QVERIFY(WaitFor([&] { return message.Handled() && !station.AnyRunning(); }));
        const QString full = station.Lang("IDS_KEYFILE_DISK_FULL");
        QVERIFY2(text.contains(full), qPrintable(text));
        QVERIFY2(WaitFor([&] { return station.Text(C::kStatusLine).startsWith(full); }),
                 qPrintable(station.Text(C::kStatusLine)));
        QCOMPARE(station.Controller().State(), StationState::kIdle);

        // No row blames the keys: a board either failed recording its key (red) or never got
        // one and says the station stopped, without a colour.
        int stopped = 0;
        for (int row = 0; row < 8; ++row) {
            const QString status = station.Window().Table()->CellText(row, kColumnStatus);
            QVERIFY2(status != station.Lang("IDS_GET_KEY_ERROR"), qPrintable(status));
            if (status == station.Lang("IDS_STOPPED_KEYFILE")) {
                ++stopped;
                QCOMPARE(ColourOf(station, row), std::nullopt);
            } else if (ColourOf(station, row) == QColor(255, 0, 0)) {
                QVERIFY2(status.startsWith(station.Lang("IDS_UPDATE_KEYFILE_ERROR") +
                                           QString::fromUtf8(kKeyNoteSeparator)),
                         qPrintable(status));
            }
        }
        // The unused label says what the key file says now, not the count before the failure.
        KeySourceCounts counts;
        QVERIFY(station.Controller().KeySource()->GetCounts(&counts));
        QVERIFY(counts.unused < 40);
        QVERIFY2(station.Text(C::kUnusedLabel).endsWith(":" + QString::number(counts.unused)),
                 qPrintable(station.Text(C::kUnusedLabel)));
        qInfo("full disk: %d of 8 boards never started", stopped);
    }
}

void OperatorWordsTest::aKeyPoolOutOfReachIsNotAnEmptyPool() {
    for (const char* selected : kLanguages) {
        GuiStation station(std::string("pooldown") + selected);
        station.language["Selected"] = selected;
        station.system["WriteKeybox"] = "1";
        auto file = std::make_unique<CKeyFile>(station.MakeKeyFile("keys.kdb", 10, 32));
        QVERIFY(file->IsValid());
        auto source = std::make_unique<CUnreachableSource>(std::move(file));
        CUnreachableSource* pool = source.get();
        QVERIFY(station.Plug("1-1", 0));
        QVERIFY(station.Boot().started);
        QVERIFY(station.WaitBound("1-1"));
        QVERIFY(station.Controller().LoadKeySource(std::move(source)));
        pool->down = true;
        station.Click(C::kStartStopButton);
        QVERIFY(WaitFor([&] { return ColourOf(station, 0).has_value() && !station.AnyRunning(); }));
        const QString status = station.Window().Table()->CellText(0, kColumnStatus);
        QCOMPARE(status, station.Lang("IDS_KEYSOURCE_UNREACHABLE") +
                             QString::fromUtf8(kKeyNoteSeparator) +
                             station.Lang("IDS_NO_KEY_SENT"));
        QVERIFY(status != station.Lang("IDS_GET_KEY_ERROR"));
        QCOMPARE(IsAscii(status), std::string(selected) == "0");
        station.Click(C::kStartStopButton);
        QVERIFY(WaitFor([&] { return station.Controller().State() == StationState::kIdle; }));
    }
}

void OperatorWordsTest::textsFitTheirControlsAndTheStatusTextKeepsClearOfTheTime() {
    for (const char* selected : kLanguages) {
        GuiStation station(std::string("fit") + selected);
        station.language["Selected"] = selected;
        QVERIFY(station.Boot().started);
        CStationWindow& window = station.Window();
        // Buttons with every text they take, captions and labels with their longest values.
        const std::pair<int, std::vector<QString>> buttons[] = {
            {C::kKeyFileButton,
             {station.Text(C::kKeyFileButton), station.Lang("IDS_LOADING_FW_BUTTON")}},
            {C::kStartStopButton,
             {station.Lang("IDS_START_BUTTON"), station.Lang("IDS_STOP_BUTTON"),
              station.Lang("IDS_STOPPING_BUTTON")}},
            {C::kExitButton, {station.Text(C::kExitButton)}},
            {C::kConfigButton, {station.Text(C::kConfigButton)}},
        };
        for (const auto& [id, texts] : buttons) {
            QPushButton* button = window.Button(id);
            const QFontMetrics metrics(button->font());
            for (const QString& t : texts) {
                QVERIFY2(metrics.horizontalAdvance(t) + 8 <= button->width(), qPrintable(t));
            }
        }
        const std::pair<int, QString> labels[] = {
            {C::kSuccessCaption, QString()},
            {C::kFailCaption, QString()},
            {C::kTotalCaption, QString()},
            {C::kKeyCountLabel, QStringLiteral("100000")},
            {C::kUnusedLabel, QStringLiteral("100000")},
            {C::kCreateTimeLabel, QStringLiteral("2026-12-31 23:59:59")},
        };
        for (const auto& [id, value] : labels) {
            QLabel* label = window.Label(id);
            const QString text = label->text() + value;
            QVERIFY2(QFontMetrics(label->font()).horizontalAdvance(text) <= label->width(),
                     qPrintable(text));
        }
        // The status line holds every status-line text whole, the summary band three failure
        // lines and the pace.
        QLabel* status = window.Label(C::kStatusLine);
        for (const char* key :
             {"IDS_FIRST_LOAD_KEYFILE", "IDS_KEYS_OUT", "IDS_START_NO_KEYFILE", "IDS_CLOSE_RUNNING",
              "IDS_KEYFILE_READ_ONLY", "IDS_KEYFILE_DISK_FULL", "IDS_KEYFILE_IN_USE",
              "IDS_KEYFILE_CUT_SHORT", "IDS_KEYFILE_JOURNAL", "IDS_POOL_LOST", "IDS_PRACTICE"}) {
            const QString t = station.Lang(key);
            QVERIFY2(QFontMetrics(status->font()).horizontalAdvance(t) <= status->width(),
                     qPrintable(t));
        }
        QLabel* summary = window.Label(C::kSummaryLabel);
        const QString line = QStringLiteral("15 x ") + station.Lang("IDS_UPDATE_KEYFILE_ERROR");
        QVERIFY(QFontMetrics(summary->font()).horizontalAdvance(line) <= summary->width());
        QVERIFY(QFontMetrics(summary->font()).lineSpacing() * 5 <= summary->height());

        // A long status text is cut before the job time, never drawn over it.
        CDeviceTable* table = window.Table();
        const QRect cell = table->visualRect(table->model()->index(0, kColumnStatus));
        const QFontMetrics metrics(table->item(0, kColumnStatus)->font());
        const QString time = QStringLiteral("12:34");
        const QRect area = CDeviceTable::StatusTextArea(cell, metrics, time);
        const int timeLeft =
            cell.right() - CDeviceTable::kTimeMargin - metrics.horizontalAdvance(time);
        QVERIFY(area.right() < timeLeft);
        QCOMPARE(area.center().x(), cell.center().x());
        const QString longText = station.Lang("IDS_ALREADY_PROVISIONED").repeated(4);
        QVERIFY(metrics.horizontalAdvance(
                    metrics.elidedText(longText, Qt::ElideRight, area.width())) <= area.width());
    }
}

void OperatorWordsTest::theWindowGuidesAFreshStartAndPracticeIsMarked() {
    GuiStation station("guide");
    station.system["WriteKeybox"] = "1";
    station.system["SavePath"] = "";
    const std::string kdb = station.MakeKeyFile("keys.kdb", 10, 32);
    QVERIFY(station.Boot().started);
    CStationWindow& window = station.Window();
    window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    // A fresh start: the focus (with its frame) is on Key File, the status line says so, and an
    // empty SavePath became the application folder, so the dialog's OK has a folder.
    QCOMPARE(QApplication::focusWidget(), window.Button(C::kKeyFileButton));
    QVERIFY(window.testAttribute(Qt::WA_KeyboardFocusChange));
    QCOMPARE(station.Text(C::kStatusLine), station.Lang("IDS_FIRST_LOAD_KEYFILE"));
    QCOMPARE(fs::path(station.Controller().Settings().SavePath),
             fs::path(station.Home().string() + "/"));
    // After a load the focus goes to Start, and Enter presses it.
    station.Controller().LoadKeyFile(kdb);
    QVERIFY(
        WaitFor([&] { return QApplication::focusWidget() == window.Button(C::kStartStopButton); }));
    QCOMPARE(station.Text(C::kStatusLine), QString());
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    station.Flush();
    QCOMPARE(station.Controller().State(), StationState::kRunning);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Enter);
    station.Flush();
    QVERIFY(WaitFor([&] { return station.Controller().State() == StationState::kIdle; }));

    // Practice mode says so in the title and on the status line, whatever else it shows.
    GuiStation practice("practice");
    practice.practice = true;
    practice.system["WriteKeybox"] = "1";
    QVERIFY(practice.Boot().started);
    const QString banner = practice.Lang("IDS_PRACTICE");
    QCOMPARE(banner, QString::fromUtf8("PRACTICE \u2014 simulated boards"));
    QVERIFY(practice.Window().windowTitle().startsWith(banner));
    QVERIFY(practice.Text(C::kStatusLine).startsWith(banner));
    practice.Click(C::kStartStopButton);  // refused: no key file
    QVERIFY(WaitFor([&] {
        return practice.Text(C::kStatusLine) ==
               banner + " | " + practice.Lang("IDS_START_NO_KEYFILE");
    }));
}

QTEST_MAIN(OperatorWordsTest)
#include "OperatorWordsTest.moc"
