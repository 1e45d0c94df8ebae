// Source of device-change notices (plug, unplug, bind, unbind). Each notice asks for one rescan.
#pragma once

#include <functional>

class IDeviceChangeSource {
  public:
    virtual ~IDeviceChangeSource() = default;
    // Starts delivering notices; onChange is called once per notice, from a thread of the source.
    // Returns false when the source cannot run at all.
    virtual bool Start(std::function<void()> onChange) = 0;
    // Stops delivering; after it returns onChange is never called again.
    virtual void Stop() = 0;
};
