// The Windows USB side of a station: the USB tree, the bulk pipes and the device-change notices
// over the system's calls.
#pragma once

#include "platform/windows/WinDeviceNotices.h"
#include "platform/windows/WinUsbPipes.h"
#include "platform/windows/WinUsbTree.h"

class CWinUsbPlatform {
  public:
    explicit CWinUsbPlatform(IWinUsbCalls& calls = SystemWinUsbCalls())
        : tree_(calls), pipes_(calls) {}
    IUsbTree& Tree() { return tree_; }
    IBulkPipes& Pipes() { return pipes_; }
    IDeviceChangeSource& Changes() { return notices_; }

  private:
    CWinUsbTree tree_;
    CWinUsbPipes pipes_;
    CWinDeviceNotices notices_;
};
