#include "gui/QtMainThreadPoster.h"

#include <QMetaObject>
#include <utility>

void CQtMainThreadPoster::Post(std::function<void()> fn) {
    if (!fn) {
        return;
    }
    {
        std::lock_guard<std::mutex> guard(lock_);
        queue_.push_back(std::move(fn));
    }
    // One event per closure; each event runs whichever closure is at the front, so the order is
    // the queue's even when two threads' events reach Qt the other way round.
    QMetaObject::invokeMethod(
        &context_, [this] { RunFront(); }, Qt::QueuedConnection);
}

size_t CQtMainThreadPoster::Pending() const {
    std::lock_guard<std::mutex> guard(lock_);
    return queue_.size();
}

void CQtMainThreadPoster::RunFront() {
    std::function<void()> fn;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (queue_.empty()) {
            return;
        }
        fn = std::move(queue_.front());
        queue_.pop_front();
    }
    fn();
}
