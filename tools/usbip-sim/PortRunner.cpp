#include "tools/usbip-sim/PortRunner.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

PortRunner::PortRunner(VhciPorts& ports, std::unique_ptr<IUsbFunction> function, UsbipFaults faults,
                       PortRunnerOptions options, LogFn log)
    : ports_(ports),
      function_(std::move(function)),
      server_(*function_, faults, log),
      options_(std::move(options)),
      log_(std::move(log)),
      currentPort_(options_.port) {}

PortRunner::~PortRunner() {
    Stop();
}

void PortRunner::Start() {
    thread_ = std::thread([this]() { Run(); });
}

void PortRunner::Stop() {
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
}

bool PortRunner::WaitFirstAttach(uint32_t timeoutMs) {
    std::unique_lock<std::mutex> guard(attachLock_);
    attachChanged_.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                            [this]() { return attachState_ != 0; });
    return attachState_ == 1;
}

void PortRunner::SetAttachState(int state) {
    {
        std::lock_guard<std::mutex> guard(attachLock_);
        if (attachState_ != 0)
            return;
        attachState_ = state;
    }
    attachChanged_.notify_all();
}

void PortRunner::WriteState(const std::string& phase) {
    if (options_.stateFile.empty())
        return;
    const UsbipDeviceStats& s = server_.Stats();
    const int64_t jobMs =
        s.firstCommandMs == 0 ? -1 : static_cast<int64_t>(s.lastCommandMs - s.firstCommandMs);
    char text[1024];
    std::snprintf(text, sizeof(text),
                  "phase=%s\nname=%s\nport=%u\nattaches=%u\nresets=%u\nunplugged=%d\n"
                  "commands=%u\nclear_halts=%u\nstalls_injected=%u\nheld_unlinked=%u\n"
                  "late_unlinks=%u\nconfigurations=%u\njob_ms=%lld\ngone_ms=%lld\n"
                  "reenum_ms=%lld\nreset_to_configured_ms=%lld\nreset_to_command_ms=%lld\n"
                  "last_end=%s\n",
                  phase.c_str(), ports_.SysfsName(currentPort_).c_str(), currentPort_, attaches_,
                  resets_, unplugged_ ? 1 : 0, s.commands, s.clearHalts, s.stallsInjected,
                  s.heldUnlinked, s.lateUnlinks, s.configurations, static_cast<long long>(jobMs),
                  static_cast<long long>(goneMs_), static_cast<long long>(reenumMs_),
                  static_cast<long long>(resetToConfiguredMs_),
                  static_cast<long long>(resetToCommandMs_), lastEnd_.c_str());
    const std::string tmp = options_.stateFile + ".tmp";
    FILE* f = std::fopen(tmp.c_str(), "w");
    if (f == nullptr)
        return;
    std::fputs(text, f);
    std::fclose(f);
    std::rename(tmp.c_str(), options_.stateFile.c_str());
}

void PortRunner::Run() {
    bool afterReset = false;
    for (;;) {
        int sv[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
            log_("socketpair failed");
            SetAttachState(-1);
            break;
        }
        const std::string name = ports_.SysfsName(currentPort_);
        ++attaches_;
        const uint32_t devid = ((currentPort_ + 1) << 16) | (attaches_ & 0xFFFF);
        std::string error;
        if (!ports_.Attach(currentPort_, sv[1], devid, &error)) {
            log_("attach failed: " + error);
            ::close(sv[0]);
            ::close(sv[1]);
            SetAttachState(-1);
            break;
        }
        ::close(sv[1]);  // the kernel holds its own reference to its end
        lastAttachMs_ = SteadyMs();
        log_("attached at " + name + " (port " + std::to_string(currentPort_) + ")");
        SetAttachState(1);
        WriteState("attached");

        const ServeEnd end = server_.Serve(sv[0], stop_);
        lastEnd_ = ServeEndName(end);
        const UsbipDeviceStats& stats = server_.Stats();
        if (afterReset && stats.configuredMs != 0) {
            reenumMs_ = static_cast<int64_t>(stats.configuredMs - lastAttachMs_);
            resetToConfiguredMs_ = static_cast<int64_t>(stats.configuredMs - lastResetMs_);
        }
        if (afterReset && stats.sessionFirstCommandMs != 0) {
            resetToCommandMs_ = static_cast<int64_t>(stats.sessionFirstCommandMs - lastResetMs_);
        }
        log_("session ended: " + lastEnd_);

        if (end != ServeEnd::kPeerClosed) {
            if (!ports_.Detach(currentPort_, &error))
                log_("detach: " + error);
        }
        ::close(sv[0]);
        const uint64_t detachMs = SteadyMs();
        if (!ports_.WaitGone(name, options_.goneTimeoutMs)) {
            log_(name + " still present " + std::to_string(options_.goneTimeoutMs) +
                 " ms after detach");
            WriteState("stuck");
            break;
        }
        goneMs_ = static_cast<int64_t>(SteadyMs() - detachMs);
        log_(name + " gone " + std::to_string(goneMs_) + " ms after detach");

        if (end == ServeEnd::kUnplugged)
            unplugged_ = true;
        if (end != ServeEnd::kLeaveForReset) {
            WriteState(end == ServeEnd::kStopped ? "stopped" : "ended");
            break;
        }
        const UsbBusRequest leave = server_.LastLeave();
        ++resets_;
        lastResetMs_ = detachMs;
        if (leave.noReturn) {
            log_("device does not come back after its reset");
            WriteState("gone-after-reset");
            break;
        }
        WriteState("resetting");
        while (!stop_ && SteadyMs() - detachMs < leave.delayMs) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (stop_) {
            WriteState("stopped");
            break;
        }
        function_->OnReturned();
        if (leave.returnAtOtherPort)
            currentPort_ = options_.otherPort;
        afterReset = true;
    }
    SetAttachState(-1);
}
