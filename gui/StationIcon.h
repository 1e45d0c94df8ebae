// The application icon, painted in code (the same design as data/icons/keystation.svg), so the
// window needs no image plugin.
#pragma once

#include <QIcon>

QIcon StationIcon();
