// The pipes' contract (tests/contract/PipeContract.h) over the recorded Windows calls: the fake
// device answers, stays silent, halts an endpoint or leaves as a step says. A subclass gives the
// pipes under test, built on fake_.
#pragma once

#include <string>
#include <vector>

#include "tests/contract/PipeContract.h"
#include "tests/windows/FakeWinUsbCalls.h"

class FakeWinUsbRig : public pipecontract::Rig {
  public:
    void Answer(size_t size) override { fake_.reads.emplace_back(size, 0xA5); }
    void Silent() override { fake_.reads.emplace_back(); }
    void Halt(int pipe) override {
        fake_.halted.insert(pipe == IBulkPipes::kPipeIn ? fake_.bulkIn : fake_.bulkOut);
    }
    void Unplug() override { fake_.gone = true; }
    std::vector<std::string> TakeClears() override {
        std::vector<std::string> clears;
        for (; seen_ < fake_.cleared.size(); ++seen_) {
            clears.push_back(fake_.cleared[seen_] == fake_.bulkIn ? "in" : "out");
        }
        return clears;
    }
    const CFakeWinUsbCalls& Fake() const { return fake_; }

  protected:
    CFakeWinUsbCalls fake_;

  private:
    size_t seen_ = 0;
};
