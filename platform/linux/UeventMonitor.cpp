#include "platform/linux/UeventMonitor.h"

#include <fcntl.h>
#include <linux/netlink.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <string_view>
#include <system_error>
#include <vector>

namespace uevent {

bool Parse(const char* data, size_t size, UeventMessage* out) {
    if (data == nullptr || out == nullptr || size == 0 || size > kMaxMessageSize) {
        return false;
    }
    const std::string_view all(data, size);

    // Header "ACTION@DEVPATH".
    const size_t headerEnd = all.find('\0');
    if (headerEnd == std::string_view::npos) {
        return false;
    }
    const std::string_view header = all.substr(0, headerEnd);
    const size_t at = header.find('@');
    if (at == std::string_view::npos || at == 0 || at + 1 == header.size()) {
        return false;
    }

    std::string_view action;
    std::string_view devpath;
    std::string_view subsystem;
    std::string_view devtype;
    bool haveAction = false;
    bool haveDevpath = false;
    bool haveSubsystem = false;
    size_t pos = headerEnd + 1;
    while (pos < size) {
        const size_t end = all.find('\0', pos);
        if (end == std::string_view::npos) {
            return false;  // the last field is cut off
        }
        const std::string_view field = all.substr(pos, end - pos);
        const size_t equals = field.find('=');
        if (equals == std::string_view::npos || equals == 0) {
            return false;
        }
        const std::string_view key = field.substr(0, equals);
        const std::string_view value = field.substr(equals + 1);
        if (key == "ACTION" && !haveAction) {
            action = value;
            haveAction = true;
        } else if (key == "DEVPATH" && !haveDevpath) {
            devpath = value;
            haveDevpath = true;
        } else if (key == "SUBSYSTEM" && !haveSubsystem) {
            subsystem = value;
            haveSubsystem = true;
        } else if (key == "DEVTYPE" && devtype.empty()) {
            devtype = value;
        }
        pos = end + 1;
    }
    if (!haveAction || !haveDevpath || !haveSubsystem) {
        return false;
    }
    if (header.substr(0, at) != action || header.substr(at + 1) != devpath) {
        return false;
    }
    try {
        out->action.assign(action);
        out->devpath.assign(devpath);
        out->subsystem.assign(subsystem);
        out->devtype.assign(devtype);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

bool IsUsbDevice(const UeventMessage& message) {
    if (!message.devtype.empty()) {
        return message.devtype == "usb_device";
    }
    // Without DEVTYPE: a device's folder name has no ':' (its interfaces' names do).
    const size_t slash = message.devpath.rfind('/');
    const std::string_view last = slash == std::string::npos
                                      ? std::string_view(message.devpath)
                                      : std::string_view(message.devpath).substr(slash + 1);
    return !last.empty() && last.find(':') == std::string_view::npos;
}

bool IsUsbChange(const UeventMessage& message) {
    if (message.subsystem != "usb" || !IsUsbDevice(message)) {
        return false;
    }
    // Interface bind/unbind events are left out: every claim and release of a board's interface
    // through usbfs makes one, so the station's own transfers would keep the rescans going.
    return message.action == "add" || message.action == "remove" || message.action == "bind" ||
           message.action == "unbind";
}

}  // namespace uevent

namespace {

constexpr unsigned kKernelGroup = 1;
constexpr int kReceiveBufferBytes = 1 << 20;
constexpr int kMaxMessagesPerWake = 256;

// True when the message carries credentials of uid 0.
bool SentByRoot(msghdr& message) {
    bool fromRoot = false;
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_CREDENTIALS &&
            c->cmsg_len >= CMSG_LEN(sizeof(ucred))) {
            ucred credentials;
            std::memcpy(&credentials, CMSG_DATA(c), sizeof credentials);
            fromRoot = credentials.uid == 0;
        }
    }
    return fromRoot;
}

void CloseFd(int* fd) {
    if (*fd >= 0) {
        ::close(*fd);
        *fd = -1;
    }
}

}  // namespace

UeventMonitor::UeventMonitor(CLoggerBase* log, UeventMonitorOptions options)
    : log_(log), options_(options) {}

UeventMonitor::~UeventMonitor() {
    Stop();
    std::lock_guard<std::mutex> guard(lifecycleLock_);
    JoinAndClose();
}

bool UeventMonitor::OpenSocket(int* sysError) {
    const int fd =
        ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_KOBJECT_UEVENT);
    if (fd < 0) {
        *sysError = errno;
        return false;
    }
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = kKernelGroup;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        *sysError = errno;
        ::close(fd);
        return false;
    }
    // Credentials let the sender be checked (uid 0); where they cannot be had, the sender's
    // netlink port (0 = the kernel) is the only check.
    const int on = 1;
    passCredentials_ = ::setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on) == 0;
    // A larger queue makes overruns during plug storms less likely; an overrun still turns into
    // one notice.
    const int bytes = kReceiveBufferBytes;
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0) {
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    }
    sockaddr_nl bound{};
    socklen_t boundLength = sizeof bound;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &boundLength) == 0) {
        portId_ = bound.nl_pid;
    }
    socket_ = fd;
    return true;
}

bool UeventMonitor::Start(std::function<void()> onChange) {
    if (!onChange) {
        return false;
    }
    std::lock_guard<std::mutex> guard(lifecycleLock_);
    if (thread_.joinable()) {
        // Still running, unless a Stop from inside a notice left it ending.
        if (!endRequested_.load() || threadId_.load() == std::this_thread::get_id()) {
            return false;
        }
        JoinAndClose();
    }
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) {
        return false;
    }
    wakeRead_ = pipeFds[0];
    wakeWrite_ = pipeFds[1];

    int error = 0;
    polling_ = options_.forcePolling || !OpenSocket(&error);
    CLoggerBase* log = log_.load();
    if (polling_ && log != nullptr) {
        if (options_.forcePolling) {
            log->Print(ks::kLogStation,
                       "INFO:UeventMonitor-->uevent socket not used, polling every %.3g s",
                       options_.pollIntervalMs / 1000.0);
        } else {
            log->Print(ks::kLogStation,
                       "INFO:UeventMonitor-->uevent socket unavailable,err=%d, polling every "
                       "%.3g s",
                       error, options_.pollIntervalMs / 1000.0);
        }
    }
    try {
        onChange_ = std::move(onChange);
        thread_ = std::thread(&UeventMonitor::Run, this);
    } catch (const std::exception&) {
        onChange_ = nullptr;
        CloseFd(&socket_);
        CloseFd(&wakeRead_);
        CloseFd(&wakeWrite_);
        return false;
    }
    threadId_ = thread_.get_id();
    return true;
}

void UeventMonitor::Stop() {
    if (threadId_.load() == std::this_thread::get_id()) {
        // Inside a notice: the thread cannot join itself. It ends when the notice returns.
        endRequested_ = true;
        const char byte = 1;
        [[maybe_unused]] const ssize_t n = ::write(wakeWrite_, &byte, 1);
        return;
    }
    std::lock_guard<std::mutex> guard(lifecycleLock_);
    JoinAndClose();
}

void UeventMonitor::JoinAndClose() {
    if (!thread_.joinable()) {
        return;
    }
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(wakeWrite_, &byte, 1);
    thread_.join();
    threadId_ = std::thread::id();
    endRequested_ = false;
    onChange_ = nullptr;
    CloseFd(&socket_);
    CloseFd(&wakeRead_);
    CloseFd(&wakeWrite_);
    portId_ = 0;
}

void UeventMonitor::Notify() {
    notices_.fetch_add(1);
    onChange_();
}

bool UeventMonitor::DrainSocket(int* sysError) {
    std::vector<char> buffer;
    try {
        buffer.resize(uevent::kMaxMessageSize);
    } catch (const std::bad_alloc&) {
        return true;  // try again on the next wake-up
    }
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
    bool changed = false;
    // A bounded batch per wake-up, so that a flood of messages never keeps Stop waiting.
    for (int batch = 0; batch < kMaxMessagesPerWake; ++batch) {
        sockaddr_nl sender{};
        iovec io{buffer.data(), buffer.size()};
        msghdr message{};
        message.msg_name = &sender;
        message.msg_namelen = sizeof sender;
        message.msg_iov = &io;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t n = ::recvmsg(socket_, &message, MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                break;
            }
            if (errno == ENOBUFS) {
                // The queue overran and messages were lost: one rescan covers them.
                changed = true;
                continue;
            }
            *sysError = errno;
            return false;
        }
        if ((message.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) != 0) {
            dropped_.fetch_add(1);
            continue;
        }
        if (message.msg_namelen < sizeof sender || sender.nl_family != AF_NETLINK ||
            sender.nl_pid != 0) {
            dropped_.fetch_add(1);
            continue;
        }
        if (passCredentials_ && !SentByRoot(message)) {
            dropped_.fetch_add(1);
            continue;
        }
        UeventMessage parsed;
        if (!uevent::Parse(buffer.data(), static_cast<size_t>(n), &parsed)) {
            dropped_.fetch_add(1);
            continue;
        }
        accepted_.fetch_add(1);
        if (uevent::IsUsbChange(parsed)) {
            Notify();
        }
    }
    if (changed) {
        Notify();
    }
    return true;
}

void UeventMonitor::Run() {
    while (true) {
        pollfd fds[2] = {{wakeRead_, POLLIN, 0}, {socket_, POLLIN, 0}};
        const bool polling = polling_.load();
        const nfds_t count = polling ? 1 : 2;
        const int timeout = polling ? static_cast<int>(options_.pollIntervalMs) : -1;
        const int rc = ::poll(fds, count, timeout);
        if (rc < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;  // nothing sensible left to wait on
        }
        if ((fds[0].revents & (POLLIN | POLLERR | POLLHUP)) != 0) {
            return;
        }
        if (polling) {
            if (rc == 0) {
                Notify();
            }
            continue;
        }
        int error = 0;
        if (fds[1].revents != 0 && !DrainSocket(&error)) {
            CloseFd(&socket_);
            polling_ = true;
            if (CLoggerBase* log = log_.load(); log != nullptr) {
                log->Print(ks::kLogStation,
                           "INFO:UeventMonitor-->uevent socket failed,err=%d, polling every "
                           "%.3g s",
                           error, options_.pollIntervalMs / 1000.0);
            }
            Notify();
        }
    }
}
