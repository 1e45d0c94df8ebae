// The Windows USB side of a station: the USB tree, the bulk pipes (through the driver bound to
// each device: WinUSB or the maker's driver) and the device-change notices over the system's
// calls.
#pragma once

#include "platform/windows/PipesByDriver.h"
#include "platform/windows/WinDeviceNotices.h"
#include "platform/windows/WinUsbTree.h"

class CWinUsbPlatform {
  public:
    explicit CWinUsbPlatform(IWinUsbCalls& calls = SystemWinUsbCalls())
        : tree_(calls), pipes_(calls) {}
    IUsbTree& Tree() { return tree_; }
    IBulkPipes& Pipes() { return pipes_; }
    IDeviceChangeSource& Changes() { return notices_; }
    // The station log, where each device's driver choice is said.
    void SetLog(CLoggerBase* log) { pipes_.SetLog(log); }

  private:
    CWinUsbTree tree_;
    CPipesByDriver pipes_;
    CWinDeviceNotices notices_;
};
