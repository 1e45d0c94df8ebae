// The configuration dialog (dialog 129): RKP export and its save folder, keybox writing with the
// loaded key file's path, the keybox destination (kept hidden) and the reset-after-write option.
// It edits the controller's settings in memory; they reach config.ini at shutdown.
//
// OK stores the controls in this order, stopping where a check fails: GetRkp; the save folder,
// which must name an existing file or folder ("No dir Selected"); SavePath, WriteKeybox and
// DestPosition, which must be 0..2 ("Keybox Dest select wrong"); ResetAfterWrite. What was stored
// before a failed check stays stored, also when the operator then cancels. The folder chooser
// writes SavePath at once.
#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <map>

#include "gui/DialogUnits.h"

class CIniSettingBase;
class CIniLocalLan;

namespace ConfigControl {
constexpr int kDialog = 129;
constexpr int kOk = 1;
constexpr int kCancel = 2;
constexpr int kSaveFolderEdit = 1018;
constexpr int kChooseFolderButton = 1019;
constexpr int kRkpCheck = 1020;
constexpr int kKeyboxCheck = 1021;
constexpr int kKeyFilePathEdit = 1022;
constexpr int kDestinationList = 1024;
constexpr int kDestinationLabel = 1025;
constexpr int kResetCheck = 1026;
constexpr int kSaveFolderLabel = 1027;
constexpr int kGeneralGroup = 1028;
constexpr int kKeyFilePathLabel = 1029;
}  // namespace ConfigControl

class CConfigDialog final : public QDialog {
    Q_OBJECT

  public:
    static constexpr char kChooserTitle[] = "Choose a directory";
    static constexpr char kNoDirMessage[] = "No dir Selected";
    static constexpr char kDestMessage[] = "Keybox Dest select wrong";

    // Sets the texts from the language and loads the controls from the settings (a destination
    // outside 0..2 is set to 0 in the settings).
    CConfigDialog(CIniSettingBase& settings, CIniLocalLan& language, QWidget* parent = nullptr);

    // A control by its number, or null ("controlId" property and objectName "control<id>").
    QWidget* Control(int controlId) const;
    template <typename T>
    T* ControlAs(int controlId) const {
        return qobject_cast<T*>(Control(controlId));
    }

  public slots:
    void accept() override;

  private:
    // A language text, or the built-in text when the language file has none.
    std::string TextOr(const char* key, const char* builtIn);
    template <typename T>
    T* Add(T* widget, int id, QRect units);
    void BuildControls();
    void SetTexts();
    void LoadFromSettings();
    void UpdateEnabling();
    void ChooseFolder();

    CIniSettingBase& settings_;
    CIniLocalLan& language_;
    CDialogUnits units_;
    std::map<int, QWidget*> controls_;
    QCheckBox* rkp_ = nullptr;
    QLineEdit* saveFolder_ = nullptr;
    QPushButton* chooseFolder_ = nullptr;
    QCheckBox* keybox_ = nullptr;
    QLineEdit* keyFilePath_ = nullptr;
    QComboBox* destination_ = nullptr;
    QCheckBox* reset_ = nullptr;
};
