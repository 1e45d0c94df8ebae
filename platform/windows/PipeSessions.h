// What the Windows pipes share: the table of open handles (numbers from 1, wrapping before
// INT_MAX, each naming one session) and the checks a transfer makes before it reaches the system.
#pragma once

#include <climits>
#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

#include "device/BulkPipes.h"
#include "platform/windows/WinPipeErrors.h"

namespace winpipes {

template <typename Session>
class Sessions {
  public:
    // The new session's handle.
    int Add(const Session& session) {
        std::lock_guard<std::mutex> hold(lock_);
        const int handle = next_;
        next_ = next_ == INT_MAX ? 1 : next_ + 1;
        sessions_[handle] = session;
        return handle;
    }
    bool Find(int handle, Session* out) { return Look(handle, out, false); }
    // Removes the session of `handle`; false when there is none.
    bool Take(int handle, Session* out) { return Look(handle, out, true); }
    // Removes every session, for the owner to close.
    std::vector<Session> TakeAll() {
        std::lock_guard<std::mutex> hold(lock_);
        std::vector<Session> all;
        for (const auto& [handle, session] : sessions_) {
            all.push_back(session);
        }
        sessions_.clear();
        return all;
    }

  private:
    bool Look(int handle, Session* out, bool remove) {
        std::lock_guard<std::mutex> hold(lock_);
        const auto it = sessions_.find(handle);
        if (it == sessions_.end()) {
            return false;
        }
        *out = it->second;
        if (remove) {
            sessions_.erase(it);
        }
        return true;
    }

    std::mutex lock_;
    std::map<int, Session> sessions_;
    int next_ = 1;
};

// One transfer of IBulkPipes on a session with a `mode`: the handle must be open for the
// transfer's direction (else EBADF), nothing is asked of the system for 0 bytes, the buffer must
// be there and its size fit both the result and the system's 32-bit count (else EINVAL). `move`
// is the system's call: bool(const Session&, uint32_t size, uint32_t* done, uint32_t* error). The
// result is the bytes moved (never more than asked) or -1 with the error in the pipes' terms.
template <typename Session, typename Move>
long Transfer(Sessions<Session>& sessions, int handle, bool in, uint8_t* data, size_t size,
              int* sysError, Move move) {
    Session s;
    if (!sessions.Find(handle, &s) || s.mode != (in ? IBulkPipes::kPipeIn : IBulkPipes::kPipeOut)) {
        SetError(sysError, EBADF);
        return -1;
    }
    if (size == 0) {
        return 0;
    }
    if (data == nullptr || size > static_cast<size_t>(LONG_MAX) || size > UINT32_MAX) {
        SetError(sysError, EINVAL);
        return -1;
    }
    uint32_t done = 0, error = 0;
    if (!move(s, static_cast<uint32_t>(size), &done, &error)) {
        SetError(sysError, Code(error));
        return -1;
    }
    return static_cast<long>(done > size ? size : done);
}

}  // namespace winpipes
