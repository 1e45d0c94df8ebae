// Qt's own texts (the buttons of message boxes, the file dialog, the folder chooser) in the
// language of the station's language file, from Qt's translations of the system
// (Debian: qt6-translations-l10n).
#pragma once

#include <string>

// Installs Qt's translations for locale (such as "zh_CN") into the application, and makes it the
// default locale of the widgets. Empty or "en": nothing to do (Qt's own texts are English).
// False when no translation for the locale could be loaded; Qt then keeps its English texts.
// Call on the main thread after the QApplication exists; the translators live as long as it.
bool InstallQtTranslations(const std::string& locale);
