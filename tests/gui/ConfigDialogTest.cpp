// The configuration dialog against real settings and language objects: texts, the hidden
// destination row, enabling, the folder chooser, the two OK checks and Cancel.
#include <unistd.h>
#include <QComboBox>
#include <QFileDialog>
#include <QGroupBox>
#include <QMessageBox>
#include <QTest>

#include <filesystem>
#include <memory>

#include "gui/ConfigDialog.h"
#include "gui/StationPrompts.h"
#include "support/IniLocalLan.h"
#include "support/IniSettingBase.h"
#include "tests/gui/GuiStation.h"

using namespace gui_test;
namespace K = ConfigControl;

namespace {

struct Shown {
    QString text;
    QString caption;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
};

// Accepts the next message box and tells what it said.
class MessageCatcher {
  public:
    MessageCatcher()
        : driver_([this](QMessageBox* box) {
              shown_.text = box->text();
              shown_.caption = box->windowTitle();
              shown_.icon = box->icon();
              box->accept();
          }) {}
    bool Handled() const { return driver_.Handled(); }
    const Shown& Message() const { return shown_; }

  private:
    Shown shown_;
    ModalDriver<QMessageBox> driver_;
};

}  // namespace

class ConfigDialogTest final : public QObject {
    Q_OBJECT

  private slots:
    void init();
    void cleanup();

    void captionsComeFromTheLanguageAndTheDestinationRowIsHidden();
    void withoutALanguageTheCaptionsAreTheKeys();
    void controlsShowTheSettings();
    void aDestinationOutOfRangeShowsAndIsStoredAsTheFirst();
    void theCheckBoxesEnableTheirFields();
    void okWithoutAnExistingFolderIsRefusedAndWhatWasStoredStays();
    void okWithAFolderStoresEverySetting();
    void noDestinationSelectedIsRefused();
    void theFolderChooserWritesSavePathAtOnceAndCancelKeepsIt();
    void cancellingTheChooserChangesNothing();

  private:
    CConfigDialog& Open() {
        dialog_ = std::make_unique<CConfigDialog>(*settings_, *language_);
        dialog_->show();
        return *dialog_;
    }
    QString Caption(int id) {
        QWidget* w = dialog_->Control(id);
        if (auto* b = qobject_cast<QAbstractButton*>(w)) {
            return b->text();
        }
        if (auto* l = qobject_cast<QLabel*>(w)) {
            return l->text();
        }
        if (auto* g = qobject_cast<QGroupBox*>(w)) {
            return g->title();
        }
        return QString();
    }
    void Click(int id) {
        QTest::mouseClick(dialog_->ControlAs<QAbstractButton>(id), Qt::LeftButton);
    }
    bool Checked(int id) { return dialog_->ControlAs<QCheckBox>(id)->isChecked(); }

    fs::path folder_;
    std::unique_ptr<CIniSettingBase> settings_;
    std::unique_ptr<CIniLocalLan> language_;
    std::unique_ptr<CConfigDialog> dialog_;
};

void ConfigDialogTest::init() {
    folder_ = fs::temp_directory_path() / ("ks_gui_config_" + std::to_string(::getpid()));
    fs::remove_all(folder_);
    fs::create_directories(folder_ / "rkp");
    settings_ = std::make_unique<CIniSettingBase>();
    language_ = std::make_unique<CIniLocalLan>();
    QVERIFY(language_->Load(KS_SOURCE_DIR "/data/lang/English.ini"));
    language_->GetText("PROMPT:IDS_TEXT_APPNAME");
}

void ConfigDialogTest::cleanup() {
    dialog_.reset();
    language_.reset();
    settings_.reset();
    std::error_code ec;
    fs::remove_all(folder_, ec);
}

void ConfigDialogTest::captionsComeFromTheLanguageAndTheDestinationRowIsHidden() {
    CConfigDialog& d = Open();
    QCOMPARE(d.windowTitle(), QStringLiteral("Configuration"));
    QCOMPARE(Caption(K::kOk), QStringLiteral("OK"));
    QCOMPARE(Caption(K::kCancel), QStringLiteral("Cancel"));
    QCOMPARE(Caption(K::kRkpCheck), QStringLiteral("RKP"));
    QCOMPARE(Caption(K::kSaveFolderLabel), QStringLiteral("Save folder:"));
    QCOMPARE(Caption(K::kKeyboxCheck), QStringLiteral("KeyBox"));
    QCOMPARE(Caption(K::kKeyFilePathLabel), QStringLiteral("Path:"));
    QCOMPARE(Caption(K::kGeneralGroup), QStringLiteral("General"));
    QCOMPARE(Caption(K::kResetCheck), QStringLiteral("Reset device after writing"));
    QCOMPARE(Caption(K::kChooseFolderButton), QStringLiteral("...."));

    auto* list = d.ControlAs<QComboBox>(K::kDestinationList);
    QVERIFY(list->isHidden());
    QVERIFY(d.Control(K::kDestinationLabel)->isHidden());
    QCOMPARE(list->count(), 3);
    QCOMPARE(list->itemText(0), QStringLiteral("misc partition"));
    QCOMPARE(list->itemText(1), QStringLiteral("Vendor storage"));
    QCOMPARE(list->itemText(2), QStringLiteral("Other"));
    QVERIFY(d.ControlAs<QPushButton>(K::kOk)->isDefault());
    QVERIFY(d.ControlAs<QLineEdit>(K::kSaveFolderEdit)->isReadOnly());
    QVERIFY(d.ControlAs<QLineEdit>(K::kKeyFilePathEdit)->isReadOnly());
}

void ConfigDialogTest::withoutALanguageTheCaptionsAreTheKeys() {
    language_ = std::make_unique<CIniLocalLan>();
    CConfigDialog& d = Open();
    QCOMPARE(d.windowTitle(), QStringLiteral("IDS_INFO_CONFIG"));
    QCOMPARE(Caption(K::kRkpCheck), QStringLiteral("IDS_INFO_RKP"));
    QCOMPARE(d.ControlAs<QComboBox>(K::kDestinationList)->itemText(2), QStringLiteral("IDS_OTHER"));
}

void ConfigDialogTest::controlsShowTheSettings() {
    settings_->GetRkp = 1;
    settings_->SavePath = (folder_ / "rkp").string();
    settings_->WriteKeybox = 0;
    settings_->DestPosition = 2;
    settings_->ResetAfterWrite = 1;
    CConfigDialog& d = Open();
    QVERIFY(Checked(K::kRkpCheck));
    QVERIFY(!Checked(K::kKeyboxCheck));
    QVERIFY(Checked(K::kResetCheck));
    QCOMPARE(d.ControlAs<QLineEdit>(K::kSaveFolderEdit)->text(),
             PathToQString(settings_->SavePath));
    // No key file loaded in this run: the path is empty.
    QCOMPARE(d.ControlAs<QLineEdit>(K::kKeyFilePathEdit)->text(), QString());
    QCOMPARE(d.ControlAs<QComboBox>(K::kDestinationList)->currentIndex(), 2);

    dialog_.reset();
    settings_->keyFilePath = "/keys/line 3.kdb";
    CConfigDialog& again = Open();
    QCOMPARE(again.ControlAs<QLineEdit>(K::kKeyFilePathEdit)->text(),
             QStringLiteral("/keys/line 3.kdb"));
}

void ConfigDialogTest::aDestinationOutOfRangeShowsAndIsStoredAsTheFirst() {
    settings_->DestPosition = 3;
    CConfigDialog& d = Open();
    QCOMPARE(settings_->DestPosition, 0);
    QCOMPARE(d.ControlAs<QComboBox>(K::kDestinationList)->currentIndex(), 0);
    dialog_.reset();
    settings_->DestPosition = -2;
    Open();
    QCOMPARE(settings_->DestPosition, 0);
}

void ConfigDialogTest::theCheckBoxesEnableTheirFields() {
    settings_->GetRkp = 0;
    settings_->WriteKeybox = 0;
    CConfigDialog& d = Open();
    QWidget* folder = d.Control(K::kSaveFolderEdit);
    QWidget* chooser = d.Control(K::kChooseFolderButton);
    QWidget* path = d.Control(K::kKeyFilePathEdit);
    QVERIFY(!folder->isEnabled());
    QVERIFY(!chooser->isEnabled());
    QVERIFY(!path->isEnabled());

    Click(K::kRkpCheck);
    QVERIFY(folder->isEnabled());
    QVERIFY(chooser->isEnabled());
    QVERIFY(!path->isEnabled());
    Click(K::kKeyboxCheck);
    QVERIFY(path->isEnabled());
    Click(K::kRkpCheck);
    QVERIFY(!folder->isEnabled());
    QVERIFY(!chooser->isEnabled());
    QVERIFY(path->isEnabled());
    // Clicks change the controls only; the settings wait for OK.
    QCOMPARE(settings_->GetRkp, 0);
    QCOMPARE(settings_->WriteKeybox, 0);
}

void ConfigDialogTest::okWithoutAnExistingFolderIsRefusedAndWhatWasStoredStays() {
    settings_->GetRkp = 1;
    settings_->SavePath = "";
    settings_->WriteKeybox = 1;
    CConfigDialog& d = Open();
    Click(K::kRkpCheck);  // RKP off: the folder is still checked
    Click(K::kKeyboxCheck);
    {
        MessageCatcher message;
        Click(K::kOk);
        QVERIFY(message.Handled());
        QCOMPARE(message.Message().text, QStringLiteral("No dir Selected"));
        QCOMPARE(message.Message().caption, QStringLiteral("ERROR"));
        QCOMPARE(message.Message().icon, QMessageBox::Critical);
    }
    QVERIFY(d.isVisible());
    QCOMPARE(d.result(), int(QDialog::Rejected));
    QCOMPARE(settings_->GetRkp, 0);       // stored before the check
    QCOMPARE(settings_->WriteKeybox, 1);  // not reached

    // A folder that does not exist is refused the same way.
    dialog_.reset();
    settings_->SavePath = (folder_ / "gone").string();
    Open();
    {
        MessageCatcher message;
        Click(K::kOk);
        QVERIFY(message.Handled());
        QCOMPARE(message.Message().text, QStringLiteral("No dir Selected"));
    }
    QVERIFY(dialog_->isVisible());

    // Cancel leaves the stored GetRkp as it is.
    Click(K::kCancel);
    QVERIFY(!dialog_->isVisible());
    QCOMPARE(dialog_->result(), int(QDialog::Rejected));
    QCOMPARE(settings_->GetRkp, 0);
}

void ConfigDialogTest::okWithAFolderStoresEverySetting() {
    settings_->GetRkp = 0;
    settings_->SavePath = (folder_ / "rkp").string();
    settings_->WriteKeybox = 0;
    settings_->DestPosition = 0;
    settings_->ResetAfterWrite = 0;
    CConfigDialog& d = Open();
    Click(K::kRkpCheck);
    Click(K::kKeyboxCheck);
    Click(K::kResetCheck);
    d.ControlAs<QComboBox>(K::kDestinationList)->setCurrentIndex(1);
    Click(K::kOk);
    QCOMPARE(d.result(), int(QDialog::Accepted));
    QVERIFY(!d.isVisible());
    QCOMPARE(settings_->GetRkp, 1);
    QCOMPARE(settings_->WriteKeybox, 1);
    QCOMPARE(settings_->ResetAfterWrite, 1);
    QCOMPARE(settings_->DestPosition, 1);
    QCOMPARE(settings_->SavePath, (folder_ / "rkp").string());

    // A file of that name passes the check as well.
    dialog_.reset();
    WriteText(folder_ / "plain", "x");
    settings_->SavePath = (folder_ / "plain").string();
    Open();
    Click(K::kOk);
    QCOMPARE(dialog_->result(), int(QDialog::Accepted));
}

void ConfigDialogTest::noDestinationSelectedIsRefused() {
    settings_->SavePath = (folder_ / "rkp").string();
    settings_->WriteKeybox = 0;
    settings_->ResetAfterWrite = 0;
    CConfigDialog& d = Open();
    d.ControlAs<QComboBox>(K::kDestinationList)->setCurrentIndex(-1);
    Click(K::kKeyboxCheck);
    Click(K::kResetCheck);
    MessageCatcher message;
    Click(K::kOk);
    QVERIFY(message.Handled());
    QCOMPARE(message.Message().text, QStringLiteral("Keybox Dest select wrong"));
    QCOMPARE(message.Message().caption, QStringLiteral("ERROR"));
    QCOMPARE(message.Message().icon, QMessageBox::Critical);
    QVERIFY(d.isVisible());
    QCOMPARE(settings_->WriteKeybox, 1);      // stored before the check
    QCOMPARE(settings_->DestPosition, -1);    // as read from the list
    QCOMPARE(settings_->ResetAfterWrite, 0);  // not reached
}

void ConfigDialogTest::theFolderChooserWritesSavePathAtOnceAndCancelKeepsIt() {
    settings_->GetRkp = 1;
    settings_->SavePath = "";
    const fs::path chosen = folder_ / "rkp";
    CConfigDialog& d = Open();
    QString title;
    bool dirsOnly = false;
    QFileDialog::FileMode mode = QFileDialog::AnyFile;
    ModalDriver<QFileDialog> chooser([&](QFileDialog* f) {
        title = f->windowTitle();
        dirsOnly = f->testOption(QFileDialog::ShowDirsOnly);
        mode = f->fileMode();
        f->setDirectory(PathToQString(chosen.string()));
        static_cast<QDialog*>(f)->accept();
    });
    Click(K::kChooseFolderButton);
    QVERIFY(chooser.Handled());
    QCOMPARE(title, QStringLiteral("Choose a directory"));
    QVERIFY(dirsOnly);
    QCOMPARE(mode, QFileDialog::Directory);
    QCOMPARE(fs::path(settings_->SavePath), chosen);
    QCOMPARE(d.ControlAs<QLineEdit>(K::kSaveFolderEdit)->text(), PathToQString(chosen.string()));

    Click(K::kCancel);
    QCOMPARE(d.result(), int(QDialog::Rejected));
    QCOMPARE(fs::path(settings_->SavePath), chosen);
}

void ConfigDialogTest::cancellingTheChooserChangesNothing() {
    settings_->GetRkp = 1;
    settings_->SavePath = (folder_ / "rkp").string();
    CConfigDialog& d = Open();
    ModalDriver<QFileDialog> chooser([](QFileDialog* f) { f->reject(); });
    Click(K::kChooseFolderButton);
    QVERIFY(chooser.Handled());
    QCOMPARE(settings_->SavePath, (folder_ / "rkp").string());
    QCOMPARE(d.ControlAs<QLineEdit>(K::kSaveFolderEdit)->text(),
             PathToQString((folder_ / "rkp").string()));
}

QTEST_MAIN(ConfigDialogTest)
#include "ConfigDialogTest.moc"
