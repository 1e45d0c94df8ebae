// The modal prompts of the station's windows: message boxes, the key-file open dialog and the
// folder chooser. Paths come back as UTF-8 (the file system's own bytes where the locale is
// UTF-8).
#pragma once

#include <QString>
#include <optional>
#include <string>

#include "app/StationView.h"

class QWidget;

// The product's name: the window's title until a language file gives one, and the caption of
// messages that have none of their own.
extern const char* const kProductName;

// The filter of the key-file dialog: key databases, or any file.
extern const char* const kKeyFileFilter;

// A message box with an OK button. An empty caption shows the product's name; the error icon
// or none.
void ShowStationMessage(QWidget* parent, const std::string& text, const std::string& caption,
                        MessageIcon icon);

// The file-open dialog for a key database, with an empty initial name. Nothing when cancelled.
// filter: the dialog's filter ("Name(*.kdb);;Name(*.*)"); empty: kKeyFileFilter.
std::optional<std::string> ChooseKeyFilePath(QWidget* parent, const QString& filter = QString());

// A chooser of existing folders only, titled `title`, opened at `start` when it exists.
std::optional<std::string> ChooseFolderPath(QWidget* parent, const QString& title,
                                            const std::string& start);

// Conversions between UTF-8 paths and the Qt strings the dialogs use.
QString PathToQString(const std::string& path);
std::string PathFromQString(const QString& path);
