#include "gui/ScreenshotWatcher.h"

#include <QPixmap>
#include <cstdio>
#include <utility>

#include "app/StationController.h"
#include "gui/StationWindow.h"

CScreenshotWatcher::CScreenshotWatcher(CStationController& controller, CStationWindow& window,
                                       QString path)
    : controller_(controller), window_(window), path_(std::move(path)) {
    connect(&timer_, &QTimer::timeout, this, &CScreenshotWatcher::Poll);
    timer_.start(kPollMs);
}

bool CScreenshotWatcher::JobsFinished() const {
    if (controller_.State() != StationState::kRunning || controller_.CompletedRescans() == 0 ||
        controller_.RescanBusy()) {
        return false;
    }
    // Boards reset after writing leave their slots, and their rows keep the result: the batch
    // has ended when some row shows a result and every bound board's row does.
    bool anyResult = false;
    for (int row = 0; row < kTableRows; ++row) {
        anyResult = anyResult || window_.Table()->RowColour(row).has_value();
    }
    if (!anyResult) {
        return false;
    }
    for (const DeviceSlot& slot : controller_.SlotsSnapshot()) {
        if (slot.running != 0 || !window_.Table()->RowColour(slot.slotNumber - 1)) {
            return false;
        }
    }
    return true;
}

void CScreenshotWatcher::Poll() {
    if (done_ || !JobsFinished()) {
        return;
    }
    done_ = true;
    timer_.stop();
    saved_ = window_.grab().save(path_, "PNG");
    if (!saved_) {
        std::fprintf(stderr, "keystation: cannot write %s\n", path_.toLocal8Bit().constData());
    }
    controller_.OnStartStopButton();  // no job runs: back to idle at once
    controller_.OnClose();
}
