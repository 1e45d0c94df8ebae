#include "gui/QtTranslations.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QString>
#include <QTranslator>

bool InstallQtTranslations(const std::string& locale) {
    if (locale.empty() || locale == "en" || locale.rfind("en_", 0) == 0) {
        return true;
    }
    const QLocale wanted(QString::fromStdString(locale));
    // Dates and numbers in the language's own format, with or without Qt's translated texts.
    QLocale::setDefault(wanted);
    const QString folder = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    // The translator belongs to the application and goes with it.
    auto* translator = new QTranslator(qApp);
    if (!translator->load(wanted, QStringLiteral("qtbase"), QStringLiteral("_"), folder)) {
        delete translator;
        return false;
    }
    QCoreApplication::installTranslator(translator);
    return true;
}
