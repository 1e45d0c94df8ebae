// A scripted usbfs: device nodes with descriptors, a bound driver, claims, and bulk endpoints
// that hand out queued messages and collect what is written. Thread-safe.
#pragma once

#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/linux/UsbfsPipes.h"

class FakeUsbfs final : public IUsbfsCalls {
  public:
    using Bytes = std::vector<uint8_t>;

    struct Device {
        Bytes descriptors;
        std::string driver;  // kernel driver bound to the interface; empty = none
        int claimedBy = -1;  // fd holding the claim
        unsigned claimedInterface = 0;
        int alternateSetting = -1;       // last SETINTERFACE
        std::deque<Bytes> toHost;        // messages the device sends, one per IN transfer
        Bytes fromHost;                  // everything written to the OUT endpoint
        size_t maxRequest = ~size_t{0};  // larger bulk requests fail with ENOMEM
        int failNextBulk = 0;            // errno for the next bulk request
        std::vector<unsigned> clearedHalts;
        std::vector<size_t> requestSizes;
        std::vector<unsigned> requestTimeouts;
        int disconnects = 0;
        bool gone = false;     // unplugged: every request fails with ENODEV
        int openRefusals = 0;  // the next N opens fail with EACCES (udev has not run yet)
    };

    // The kernel has USBDEVFS_DISCONNECT_CLAIM (otherwise it answers ENOTTY, as old ones do).
    bool hasDisconnectClaim = false;

    // Called on every Open with the node path, before the node is looked up.
    std::function<void(const std::string&)> onOpen;

    Device& Add(const std::string& node, Bytes descriptors) {
        std::lock_guard<std::mutex> guard(lock_);
        Device& d = devices_[node];
        d.descriptors = std::move(descriptors);
        return d;
    }
    // Runs f on a device under the fake's lock.
    template <typename F>
    auto With(const std::string& node, F f) {
        std::lock_guard<std::mutex> guard(lock_);
        return f(devices_.at(node));
    }
    size_t OpenFileCount() {
        std::lock_guard<std::mutex> guard(lock_);
        return files_.size();
    }
    std::vector<std::string> Calls() {
        std::lock_guard<std::mutex> guard(lock_);
        return calls_;
    }
    std::vector<std::string> OpenedNodes() {
        std::lock_guard<std::mutex> guard(lock_);
        return opened_;
    }

    int Open(const std::string& path, int flags) override {
        if (onOpen) {
            onOpen(path);
        }
        std::lock_guard<std::mutex> guard(lock_);
        opened_.push_back(path);
        if ((flags & O_ACCMODE) != O_RDWR || (flags & O_CLOEXEC) == 0) {
            return -EINVAL;
        }
        if (devices_.count(path) == 0) {
            return -ENOENT;
        }
        if (devices_.at(path).openRefusals > 0) {
            --devices_.at(path).openRefusals;
            return -EACCES;
        }
        const int fd = nextFd_++;
        files_[fd] = File{path, 0};
        return fd;
    }

    ssize_t Read(int fd, void* buffer, size_t size) override {
        std::lock_guard<std::mutex> guard(lock_);
        auto it = files_.find(fd);
        if (it == files_.end()) {
            return -EBADF;
        }
        const Bytes& bytes = devices_.at(it->second.node).descriptors;
        const size_t n = std::min(size, bytes.size() - it->second.offset);
        std::memcpy(buffer, bytes.data() + it->second.offset, n);
        it->second.offset += n;
        return static_cast<ssize_t>(n);
    }

    int Ioctl(int fd, unsigned long request, void* arg) override {
        std::lock_guard<std::mutex> guard(lock_);
        auto it = files_.find(fd);
        if (it == files_.end()) {
            return -EBADF;
        }
        Device& d = devices_.at(it->second.node);
        if (d.gone) {
            return -ENODEV;
        }
        switch (request) {
            case USBDEVFS_GETDRIVER: {
                calls_.push_back("getdriver");
                auto* g = static_cast<usbdevfs_getdriver*>(arg);
                if (d.claimedBy >= 0 && g->interface == d.claimedInterface) {
                    std::snprintf(g->driver, sizeof g->driver, "usbfs");
                    return 0;
                }
                if (d.driver.empty()) {
                    return -ENODATA;
                }
                std::snprintf(g->driver, sizeof g->driver, "%s", d.driver.c_str());
                return 0;
            }
            case USBDEVFS_IOCTL: {
                auto* c = static_cast<usbdevfs_ioctl*>(arg);
                if (c->ioctl_code != static_cast<int>(USBDEVFS_DISCONNECT)) {
                    return -EINVAL;
                }
                calls_.push_back("disconnect " + std::to_string(c->ifno));
                if (d.driver.empty()) {
                    return -ENODATA;
                }
                d.driver.clear();
                ++d.disconnects;
                return 0;
            }
            case USBDEVFS_DISCONNECT_CLAIM: {
                if (!hasDisconnectClaim) {
                    return -ENOTTY;
                }
                auto* c = static_cast<usbdevfs_disconnect_claim*>(arg);
                calls_.push_back("disconnect-claim " + std::to_string(c->interface));
                const bool except = (c->flags & USBDEVFS_DISCONNECT_CLAIM_EXCEPT_DRIVER) != 0;
                if (d.claimedBy >= 0) {
                    return -EBUSY;  // usbfs holds it: the excepted driver, never detached
                }
                if (!d.driver.empty()) {
                    if (except && d.driver == c->driver) {
                        return -EBUSY;
                    }
                    d.driver.clear();
                    ++d.disconnects;
                }
                d.claimedBy = fd;
                d.claimedInterface = c->interface;
                return 0;
            }
            case USBDEVFS_CLAIMINTERFACE: {
                const unsigned number = *static_cast<unsigned*>(arg);
                calls_.push_back("claim " + std::to_string(number));
                if (d.claimedBy >= 0 || !d.driver.empty()) {
                    return -EBUSY;
                }
                d.claimedBy = fd;
                d.claimedInterface = number;
                return 0;
            }
            case USBDEVFS_RELEASEINTERFACE: {
                const unsigned number = *static_cast<unsigned*>(arg);
                calls_.push_back("release " + std::to_string(number));
                if (d.claimedBy != fd || d.claimedInterface != number) {
                    return -EINVAL;
                }
                d.claimedBy = -1;
                return 0;
            }
            case USBDEVFS_SETINTERFACE: {
                auto* s = static_cast<usbdevfs_setinterface*>(arg);
                calls_.push_back("setinterface " + std::to_string(s->interface) + " " +
                                 std::to_string(s->altsetting));
                d.alternateSetting = static_cast<int>(s->altsetting);
                return 0;
            }
            case USBDEVFS_CLEAR_HALT: {
                const unsigned endpoint = *static_cast<unsigned*>(arg);
                calls_.push_back("clearhalt " + std::to_string(endpoint));
                if (d.claimedBy != fd) {
                    return -EPERM;
                }
                d.clearedHalts.push_back(endpoint);
                return 0;
            }
            case USBDEVFS_BULK:
                return Bulk(fd, d, static_cast<usbdevfs_bulktransfer*>(arg));
            default:
                return -ENOTTY;
        }
    }

    void Close(int fd) override {
        std::lock_guard<std::mutex> guard(lock_);
        auto it = files_.find(fd);
        if (it == files_.end()) {
            calls_.push_back("close of a file not open");
            return;
        }
        Device& d = devices_.at(it->second.node);
        if (d.claimedBy == fd) {
            calls_.push_back("closed while claimed");
            d.claimedBy = -1;
        }
        calls_.push_back("close");
        files_.erase(it);
    }

  private:
    struct File {
        std::string node;
        size_t offset = 0;
    };

    int Bulk(int fd, Device& d, usbdevfs_bulktransfer* bulk) {
        if (d.claimedBy != fd) {
            return -EPERM;
        }
        d.requestSizes.push_back(bulk->len);
        d.requestTimeouts.push_back(bulk->timeout);
        if (d.failNextBulk != 0) {
            const int error = d.failNextBulk;
            d.failNextBulk = 0;
            return -error;
        }
        if (bulk->len > d.maxRequest) {
            return -ENOMEM;
        }
        auto* data = static_cast<uint8_t*>(bulk->data);
        if ((bulk->ep & 0x80) != 0) {
            if (bulk->ep != 0x81 && bulk->ep != 0x83) {
                return -ENOENT;
            }
            if (d.toHost.empty()) {
                return -ETIMEDOUT;
            }
            Bytes& message = d.toHost.front();
            const size_t n = std::min<size_t>(bulk->len, message.size());
            std::memcpy(data, message.data(), n);
            message.erase(message.begin(), message.begin() + static_cast<long>(n));
            if (message.empty() || n < bulk->len) {
                d.toHost.pop_front();
            }
            return static_cast<int>(n);
        }
        d.fromHost.insert(d.fromHost.end(), data, data + bulk->len);
        return static_cast<int>(bulk->len);
    }

    std::mutex lock_;
    std::map<std::string, Device> devices_;
    std::map<int, File> files_;
    std::vector<std::string> calls_;
    std::vector<std::string> opened_;
    int nextFd_ = 100;
};
