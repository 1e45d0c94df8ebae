// One contract for the bulk pipes (IBulkPipes): a single table of calls and the results every
// implementation must give, run against the usbfs pipes over scripted usbfs calls, the WinUSB
// pipes over recorded WinUSB calls and the emulator's pipes. A fake of one platform cannot then
// restate that platform's own assumptions: the transport sees the same codes everywhere
// (ETIMEDOUT for a time-out, EPIPE for a halt, ENODEV for a device gone, EBADF for a handle that
// is not open for the call, EINVAL for a reset selector other than 0, 1 and 2).
#pragma once

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "device/BulkPipes.h"

namespace pipecontract {

using Bytes = std::vector<uint8_t>;

// An implementation of the pipes with a device behind it that the table can arrange.
class Rig {
  public:
    virtual ~Rig() = default;
    virtual IBulkPipes& Pipes() = 0;
    virtual std::string Path() = 0;
    // False for a rig whose device speaks only its protocol (the emulator): the rows that need
    // arbitrary answers, silence or halts are not run on it.
    virtual bool Scripted() const { return true; }
    // The device's next IN transfer carries `size` bytes (fewer than asked: a short read).
    virtual void Answer(size_t size) = 0;
    // The device's next IN transfer brings nothing within its time-out.
    virtual void Silent() = 0;
    // The endpoint of kPipeIn or kPipeOut is halted: its next transfer fails.
    virtual void Halt(int pipe) = 0;
    // The device leaves the bus.
    virtual void Unplug() = 0;
    // The endpoints whose halt was cleared since the last call, in order: "in", "out".
    virtual std::vector<std::string> TakeClears() = 0;
    // False for a device that clears both endpoints on every reset (the emulator): the resets'
    // results are checked, the endpoints they cleared are not.
    virtual bool ClearsPerEndpoint() const { return true; }
};

enum class Do { kWrite, kRead, kReset, kClose, kAnswer, kSilent, kHalt, kUnplug };
// Each step names the handle it uses by its mode: kPipeIn, kPipeOut or kPipeDevice.
struct Step {
    Do what;
    int handle = IBulkPipes::kPipeIn;  // which of the three handles (a pipe mode)
    long arg = 0;                      // size to move, reset selector, or pipe to halt
    long result = 0;                   // bytes moved, or 1/0 for a reset
    int error = 0;                     // the error of a failing call
    std::vector<std::string> clears = {};
};

struct Case {
    const char* name;
    bool scripted;  // needs Answer, Silent or Halt
    std::vector<Step> steps;
};

inline const std::vector<Case>& Cases() {
    constexpr int in = IBulkPipes::kPipeIn, out = IBulkPipes::kPipeOut,
                  dev = IBulkPipes::kPipeDevice;
    static const std::vector<Case> cases = {
        {"a command goes out whole, an answer comes in, a short one ends the read with its count",
         true,
         {{Do::kWrite, out, 31, 31},
          {Do::kAnswer, in, 13},
          {Do::kRead, in, 13, 13},
          {Do::kAnswer, in, 5},
          {Do::kRead, in, 13, 5}}},
        {"a read the device leaves unanswered fails with ETIMEDOUT and the pipe stays usable",
         true,
         {{Do::kSilent, in},
          {Do::kRead, in, 13, -1, ETIMEDOUT},
          {Do::kAnswer, in, 13},
          {Do::kRead, in, 13, 13}}},
        {"selector 2 resets both pipes, 0 the IN and 1 the OUT pipe, on any handle; others are "
         "refused",
         false,
         {{Do::kReset, dev, 2, 1, 0, {"in", "out"}},
          {Do::kReset, dev, 0, 1, 0, {"in"}},
          {Do::kReset, dev, 1, 1, 0, {"out"}},
          {Do::kReset, in, 2, 1, 0, {"in", "out"}},
          {Do::kReset, out, 2, 1, 0, {"in", "out"}},
          {Do::kReset, dev, 3, 0, EINVAL, {}},
          {Do::kReset, dev, 255, 0, EINVAL, {}}}},
        {"a halted IN pipe fails with EPIPE, and after a reset with selector 2 it answers again",
         true,
         {{Do::kHalt, in, in},
          {Do::kRead, in, 13, -1, EPIPE},
          {Do::kReset, dev, 2, 1, 0, {"in", "out"}},
          {Do::kAnswer, in, 13},
          {Do::kRead, in, 13, 13}}},
        {"a halted OUT pipe fails with EPIPE, and after a reset with selector 2 it takes data "
         "again",
         true,
         {{Do::kHalt, out, out},
          {Do::kWrite, out, 31, -1, EPIPE},
          {Do::kReset, dev, 2, 1, 0, {"in", "out"}},
          {Do::kWrite, out, 31, 31}}},
        {"a transfer on a handle of the other direction is refused with EBADF",
         false,
         {{Do::kRead, out, 13, -1, EBADF},
          {Do::kWrite, in, 31, -1, EBADF},
          {Do::kRead, dev, 13, -1, EBADF}}},
        {"a device gone mid-transfer fails the transfer and the reset with ENODEV",
         true,
         {{Do::kWrite, out, 31, 31},
          {Do::kUnplug},
          {Do::kWrite, out, 31, -1, ENODEV},
          {Do::kReset, out, 2, 0, ENODEV, {}}}},
        {"a closed handle is refused with EBADF",
         false,
         {{Do::kClose, in}, {Do::kRead, in, 13, -1, EBADF}, {Do::kReset, in, 2, 0, EBADF, {}}}},
    };
    return cases;
}

// Runs one row on a fresh rig. As the transport does, one handle is open at a time: a step on
// another mode closes it and opens that one; after a close, the steps on that mode use the
// closed handle.
inline void Run(Rig& rig, const Case& c) {
    SCOPED_TRACE(c.name);
    IBulkPipes& pipes = rig.Pipes();
    int openMode = -1, handle = IBulkPipes::kInvalidHandle;
    int closedMode = -1, closedHandle = IBulkPipes::kInvalidHandle;
    rig.TakeClears();
    int index = 0;
    for (const Step& s : c.steps) {
        SCOPED_TRACE("step " + std::to_string(index++));
        int error = 0;
        const bool usesHandle = s.what == Do::kWrite || s.what == Do::kRead ||
                                s.what == Do::kReset || s.what == Do::kClose;
        if (usesHandle && s.handle != closedMode && s.handle != openMode) {
            pipes.Close(handle);
            handle = pipes.Open(rig.Path(), s.handle, &error);
            openMode = s.handle;
            ASSERT_NE(handle, IBulkPipes::kInvalidHandle)
                << "open mode " << s.handle << ": " << error;
        }
        const int h = s.handle == closedMode ? closedHandle : handle;
        Bytes buffer(static_cast<size_t>(s.arg > 0 ? s.arg : 1), 0x5A);
        switch (s.what) {
            case Do::kWrite:
            case Do::kRead: {
                const long n = s.what == Do::kWrite
                                   ? pipes.Write(h, buffer.data(), buffer.size(), &error)
                                   : pipes.Read(h, buffer.data(), buffer.size(), &error);
                EXPECT_EQ(n, s.result);
                if (s.result < 0) {
                    EXPECT_EQ(error, s.error);
                }
                break;
            }
            case Do::kReset: {
                const bool ok = pipes.ResetPipe(h, static_cast<uint8_t>(s.arg), &error);
                EXPECT_EQ(ok, s.result == 1);
                if (!ok) {
                    EXPECT_EQ(error, s.error);
                }
                const std::vector<std::string> clears = rig.TakeClears();
                if (rig.ClearsPerEndpoint()) {
                    EXPECT_EQ(clears, s.clears);
                } else {
                    EXPECT_EQ(clears.empty(), s.clears.empty());
                }
                break;
            }
            case Do::kClose:
                pipes.Close(handle);
                closedMode = openMode;
                closedHandle = handle;
                openMode = -1;
                handle = IBulkPipes::kInvalidHandle;
                break;
            case Do::kAnswer:
                rig.Answer(static_cast<size_t>(s.arg));
                break;
            case Do::kSilent:
                rig.Silent();
                break;
            case Do::kHalt:
                rig.Halt(static_cast<int>(s.arg));
                break;
            case Do::kUnplug:
                rig.Unplug();
                break;
        }
    }
    pipes.Close(handle);
}

// Runs every row the rig can arrange, each on a fresh rig from make(); returns how many ran.
template <typename MakeRig>
int RunAll(MakeRig make) {
    int ran = 0;
    for (const Case& c : Cases()) {
        auto rig = make();
        if (c.scripted && !rig->Scripted()) {
            continue;
        }
        Run(*rig, c);
        ++ran;
    }
    return ran;
}

}  // namespace pipecontract
