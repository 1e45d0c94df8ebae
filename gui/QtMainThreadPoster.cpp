#include "gui/QtMainThreadPoster.h"

#include <QMetaObject>
#include <utility>

void CQtMainThreadPoster::Post(std::function<void()> fn) {
    if (!fn) {
        return;
    }
    QMetaObject::invokeMethod(&context_, std::move(fn), Qt::QueuedConnection);
}
