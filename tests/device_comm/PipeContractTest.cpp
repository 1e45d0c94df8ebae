// The pipes' contract (tests/contract/PipeContract.h) over the emulator's pipes: the rows its
// device can take (it answers only its protocol, so no arbitrary answers, silences or halts).
#include <gtest/gtest.h>

#include <memory>

#include "platform/sim/EmulatorPipes.h"
#include "platform/sim/LoaderEmulator.h"
#include "tests/contract/PipeContract.h"

namespace {

class EmulatorRig final : public pipecontract::Rig {
  public:
    EmulatorRig() { pipes_.Attach(Path(), emulator_); }
    IBulkPipes& Pipes() override { return pipes_; }
    std::string Path() override { return "1-1.2"; }
    bool Scripted() const override { return false; }
    bool ClearsPerEndpoint() const override { return false; }
    void Answer(size_t) override {}
    void Silent() override {}
    void Halt(int) override {}
    // The device drops off the bus at its next command block, as a board pulled out does.
    void Unplug() override {
        LoaderFaults faults = emulator_.Faults();
        faults.unplugAtCommand = emulator_.CommandCount() + 1;
        emulator_.SetFaults(faults);
    }
    std::vector<std::string> TakeClears() override {
        std::vector<std::string> clears;
        for (; seen_ < emulator_.ClearHaltCount(); ++seen_) {
            clears.insert(clears.end(), {"in", "out"});  // the emulator clears both at once
        }
        return clears;
    }

  private:
    LoaderEmulator emulator_;
    EmulatorPipes pipes_;
    uint32_t seen_ = 0;
};

TEST(EmulatorPipes, KeepTheContractOfEveryPipesImplementation) {
    const int ran = pipecontract::RunAll([] { return std::make_unique<EmulatorRig>(); });
    EXPECT_EQ(ran, 3);  // the rows that need no scripted device
}

}  // namespace
