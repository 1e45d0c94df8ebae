// What the pool benchmarks do alike: each client thread a job in a slot of its own (16 slots), and
// a key taken, reserved and delivered once an iteration, as a job does.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

#include "keydb/KeyCopy.h"
#include "keydb/KeyJournal.h"
#include "keydb/KeySource.h"

namespace poolbench {

inline KeyJobInfo ClientJob(const benchmark::State& state) {
    KeyJobInfo job;
    job.slot = state.thread_index() % 16 + 1;
    job.portLocation = "1-" + std::to_string(job.slot);
    job.destination = "misc";
    return job;
}

// Stops the benchmark with an error at the first step that fails.
inline void TakeReserveDeliver(IKeySource& source, benchmark::State& state) {
    const KeyJobInfo job = ClientJob(state);
    int32_t index = -1;
    KeyCopy key;
    for (auto _ : state) {
        if (!source.TakeKey(job, &index, &key) || !source.ReserveKey(index, job) ||
            !source.DeliverKey(index, job)) {
            state.SkipWithError("take, reserve or deliver failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}

}  // namespace poolbench
