#include "gui/StationPrompts.h"

#include <QByteArray>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>

const char* const kProductName = "Key Station";
const char* const kKeyFileFilter = "Key Database(*.kdb);;All File(*.*)";

QString PathToQString(const std::string& path) {
    return QFile::decodeName(QByteArray::fromStdString(path));
}

std::string PathFromQString(const QString& path) {
    return QFile::encodeName(path).toStdString();
}

void ShowStationMessage(QWidget* parent, const std::string& text, const std::string& caption,
                        MessageIcon icon) {
    const QString title = QString::fromStdString(caption.empty() ? kProductName : caption);
    QMessageBox box(icon == MessageIcon::kError ? QMessageBox::Critical : QMessageBox::NoIcon,
                    title, QString::fromStdString(text), QMessageBox::Ok, parent);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

std::optional<std::string> ChooseKeyFilePath(QWidget* parent, const QString& filter) {
    const QString chosen = QFileDialog::getOpenFileName(
        parent, QString(), QString(),
        filter.isEmpty() ? QString::fromLatin1(kKeyFileFilter) : filter);
    if (chosen.isEmpty()) {
        return std::nullopt;
    }
    return PathFromQString(chosen);
}

std::optional<std::string> ChooseFolderPath(QWidget* parent, const QString& title,
                                            const std::string& start) {
    const QString startDir = PathToQString(start);
    const QString chosen = QFileDialog::getExistingDirectory(
        parent, title, QFileInfo(startDir).isDir() ? startDir : QString(),
        QFileDialog::ShowDirsOnly);
    if (chosen.isEmpty()) {
        return std::nullopt;
    }
    return PathFromQString(chosen);
}
