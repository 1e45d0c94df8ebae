#include "gui/ConfigDialog.h"

#include <QGroupBox>
#include <QString>
#include <algorithm>
#include <filesystem>
#include <system_error>

#include "gui/StationPrompts.h"
#include "support/IniLocalLan.h"
#include "support/IniSettingBase.h"

namespace {

namespace K = ConfigControl;

constexpr int kWidthUnits = 260;
constexpr int kHeightUnits = 171;
constexpr char kControlIdProperty[] = "controlId";

// The destinations in list order; entry i is DestPosition i.
constexpr const char* kDestinationKeys[] = {"IDS_MISC", "IDS_VENDORSTORAGE", "IDS_OTHER"};
constexpr int kDestinationCount = 3;

bool PathExists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::exists(std::filesystem::path(path), ec);
}

// A check box is as wide as its text needs: the whole box reacts to clicks, and one on its
// group's frame (with the dialog's face behind it) interrupts the frame's line only there.
void FitToText(QCheckBox* box, int maxWidth) {
    box->resize(std::min(box->sizeHint().width(), maxWidth), box->height());
}

}  // namespace

CConfigDialog::CConfigDialog(CIniSettingBase& settings, CIniLocalLan& language, QWidget* parent)
    : QDialog(parent),
      settings_(settings),
      language_(language),
      units_(CDialogUnits::DialogFont()) {
    setFont(CDialogUnits::DialogFont());
    setObjectName(QStringLiteral("dialog%1").arg(K::kDialog));
    setProperty(kControlIdProperty, K::kDialog);
    setWindowTitle(QStringLiteral("Dialog"));
    BuildControls();
    SetTexts();
    LoadFromSettings();
    setFixedSize(units_.Size(kWidthUnits, kHeightUnits));
}

template <typename T>
T* CConfigDialog::Add(T* widget, int id, QRect units) {
    widget->setGeometry(units_.Rect(units.x(), units.y(), units.width(), units.height()));
    if (id != 0) {
        widget->setObjectName(QStringLiteral("control%1").arg(id));
        widget->setProperty(kControlIdProperty, id);
        controls_[id] = widget;
    }
    return widget;
}

void CConfigDialog::BuildControls() {
    // Frames first, so that the controls lie on top of them.
    Add(new QGroupBox(this), 0, QRect(7, 7, 246, 36));
    Add(new QGroupBox(this), 0, QRect(7, 50, 246, 56));
    Add(new QGroupBox(QStringLiteral("General"), this), K::kGeneralGroup, QRect(7, 112, 246, 30));

    rkp_ = Add(new QCheckBox(QStringLiteral("RKP"), this), K::kRkpCheck, QRect(13, 2, 40, 10));
    Add(new QLabel(QStringLiteral("Save folder:"), this), K::kSaveFolderLabel,
        QRect(14, 21, 48, 10));
    saveFolder_ = Add(new QLineEdit(this), K::kSaveFolderEdit, QRect(64, 19, 158, 14));
    saveFolder_->setReadOnly(true);
    chooseFolder_ = Add(new QPushButton(QStringLiteral("...."), this), K::kChooseFolderButton,
                        QRect(226, 19, 20, 14));
    chooseFolder_->setAutoDefault(false);

    keybox_ =
        Add(new QCheckBox(QStringLiteral("KeyBox"), this), K::kKeyboxCheck, QRect(13, 45, 48, 10));
    Add(new QLabel(QStringLiteral("Path:"), this), K::kKeyFilePathLabel, QRect(14, 64, 48, 10));
    keyFilePath_ = Add(new QLineEdit(this), K::kKeyFilePathEdit, QRect(64, 62, 182, 14));
    keyFilePath_->setReadOnly(true);
    Add(new QLabel(QStringLiteral("Save Dst:"), this), K::kDestinationLabel, QRect(14, 84, 48, 10));
    destination_ = Add(new QComboBox(this), K::kDestinationList, QRect(64, 82, 100, 14));

    reset_ =
        Add(new QCheckBox(QStringLiteral("reset"), this), K::kResetCheck, QRect(14, 125, 230, 10));

    auto* ok = Add(new QPushButton(QStringLiteral("OK"), this), K::kOk, QRect(146, 150, 50, 14));
    ok->setDefault(true);
    auto* cancel =
        Add(new QPushButton(QStringLiteral("Cancel"), this), K::kCancel, QRect(203, 150, 50, 14));
    cancel->setAutoDefault(false);

    for (QCheckBox* onFrame : {rkp_, keybox_}) {
        onFrame->setAutoFillBackground(true);
    }
    for (auto& [id, widget] : controls_) {
        if (auto* label = qobject_cast<QLabel*>(widget)) {
            label->setTextFormat(Qt::PlainText);
        }
    }

    connect(ok, &QPushButton::clicked, this, &CConfigDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &CConfigDialog::reject);
    connect(chooseFolder_, &QPushButton::clicked, this, &CConfigDialog::ChooseFolder);
    connect(rkp_, &QCheckBox::clicked, this, &CConfigDialog::UpdateEnabling);
    connect(keybox_, &QCheckBox::clicked, this, &CConfigDialog::UpdateEnabling);
}

QWidget* CConfigDialog::Control(int controlId) const {
    auto it = controls_.find(controlId);
    return it == controls_.end() ? nullptr : it->second;
}

void CConfigDialog::SetTexts() {
    auto text = [this](const char* key) { return QString::fromStdString(language_.GetText(key)); };
    for (int i = 0; i < kDestinationCount; ++i) {
        destination_->insertItem(i, text(kDestinationKeys[i]));
    }
    ControlAs<QPushButton>(K::kOk)->setText(text("IDS_INFO_CONFIG_SAVE"));
    ControlAs<QPushButton>(K::kCancel)->setText(text("IDS_INFO_CONFIG_CANCEL"));
    rkp_->setText(text("IDS_INFO_RKP"));
    ControlAs<QLabel>(K::kSaveFolderLabel)->setText(text("IDS_RKP_SAVEPATH"));
    keybox_->setText(text("IDS_INFO_KEYBOX"));
    ControlAs<QLabel>(K::kKeyFilePathLabel)->setText(text("IDS_INFO_KEYBOX_FILEPATH"));
    ControlAs<QLabel>(K::kDestinationLabel)->setText(text("IDS_KEYBOX_DEST"));
    ControlAs<QGroupBox>(K::kGeneralGroup)->setTitle(text("IDS_INFO_GENERAL"));
    reset_->setText(text("IDS_REBOOTAFTER"));
    setWindowTitle(text("IDS_INFO_CONFIG"));
    FitToText(rkp_, units_.X(kWidthUnits - 20));
    FitToText(keybox_, units_.X(kWidthUnits - 20));
    FitToText(reset_, units_.X(230));

    Control(K::kDestinationLabel)->hide();
    destination_->hide();
}

void CConfigDialog::LoadFromSettings() {
    rkp_->setChecked(settings_.GetRkp != 0);
    saveFolder_->setText(PathToQString(settings_.SavePath));
    keyFilePath_->setText(PathToQString(settings_.keyFilePath));
    keybox_->setChecked(settings_.WriteKeybox != 0);
    if (settings_.DestPosition < 0 || settings_.DestPosition >= kDestinationCount) {
        settings_.DestPosition = 0;
    }
    destination_->setCurrentIndex(settings_.DestPosition);
    reset_->setChecked(settings_.ResetAfterWrite != 0);
    UpdateEnabling();
}

void CConfigDialog::UpdateEnabling() {
    const bool rkp = rkp_->isChecked();
    saveFolder_->setEnabled(rkp);
    chooseFolder_->setEnabled(rkp);
    keyFilePath_->setEnabled(keybox_->isChecked());
}

std::string CConfigDialog::TextOr(const char* key, const char* builtIn) {
    std::string text = language_.GetText(key);
    return text.empty() || text == key ? std::string(builtIn) : text;
}

void CConfigDialog::ChooseFolder() {
    const std::optional<std::string> folder = ChooseFolderPath(
        this, QString::fromStdString(TextOr("IDS_CHOOSE_DIR", kChooserTitle)), settings_.SavePath);
    if (!folder) {
        return;
    }
    saveFolder_->setText(PathToQString(*folder));
    settings_.SavePath = *folder;
}

void CConfigDialog::accept() {
    settings_.GetRkp = rkp_->isChecked() ? 1 : 0;

    const std::string folder = PathFromQString(saveFolder_->text());
    if (folder.empty() || !PathExists(folder)) {
        ShowStationMessage(this, TextOr("IDS_NO_DIR", kNoDirMessage),
                           TextOr("IDS_CAPTION_ERROR", "ERROR"), MessageIcon::kError);
        return;
    }
    settings_.SavePath = folder;
    settings_.WriteKeybox = keybox_->isChecked() ? 1 : 0;
    settings_.DestPosition = destination_->currentIndex();

    if (settings_.DestPosition < 0 || settings_.DestPosition >= kDestinationCount) {
        ShowStationMessage(this, TextOr("IDS_DEST_WRONG", kDestMessage),
                           TextOr("IDS_CAPTION_ERROR", "ERROR"), MessageIcon::kError);
        return;
    }
    settings_.ResetAfterWrite = reset_->isChecked() ? 1 : 0;
    QDialog::accept();
}
