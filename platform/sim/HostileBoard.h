// A loader board that lies: answers that look like the loader's but are wrong. It hooks into a
// LoaderEmulator's replies and, drawn from its own seeded stream, gives status blocks with the
// wrong tag, signature, status or residue, data phases longer or shorter than announced,
// capability and flash-info replies of any length, GPT headers and entries that point outside
// the disk or overflow 64 bits, parameter files with absurd offsets and lengths, vendor items
// whose length fields exceed their buffers, serial numbers with path separators, control
// characters and invalid code units, RKP data of 0 or of 5,120 bytes and more, or it stops
// answering altogether. The storage itself is never changed: only what goes over the wire.
//
// Each board draws, once, which lies it tells (its "habits"); one board in a few tells none, so
// a station run against many such boards still goes all the way through some jobs.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

class LoaderEmulator;

enum HostileHabit : uint32_t {
    kHostileStatusTag = 1u << 0,    // the status block carries another tag
    kHostileSignature = 1u << 1,    // ... another signature
    kHostileStatusValue = 1u << 2,  // ... a status byte that is neither 0 nor the right one
    kHostileResidue = 1u << 3,      // ... a residue larger than the transfer
    kHostileLongData = 1u << 4,     // IN data phases longer than announced
    kHostileShortData = 1u << 5,    // ... shorter than announced
    kHostileCapability = 1u << 6,   // capability answers of any length and content
    kHostileFlashInfo = 1u << 7,    // flash-info answers of any length and content
    kHostileGptHeader = 1u << 8,    // GPT header counts, sizes and LBAs out of range
    kHostileGptEntries = 1u << 9,   // GPT entries outside the disk, reversed, overflowing
    kHostileParameter = 1u << 10,   // parameter files with absurd offsets and lengths
    kHostileItemLength = 1u << 11,  // vendor item length fields beyond their buffers
    kHostileSerial = 1u << 12,      // serial numbers that are no file name
    kHostileRkpEmpty = 1u << 13,    // RKP data of length 0
    kHostileRkpLarge = 1u << 14,    // RKP data of 5,120 bytes and more
    kHostileSilent = 1u << 15,      // from some command on, never answers again
    kHostileAllHabits = (1u << 16) - 1,
};

// "status-tag,gpt-entries" for a habit set; "honest" for none.
std::string HostileHabitNames(uint32_t habits);

// What a hostile board has done so far.
struct HostileCounts {
    uint64_t commands = 0;  // answers seen
    uint64_t lies = 0;      // answers changed
};

class HostileBoard {
  public:
    // How long a read from a board that no longer answers takes to fail (the host's time-out,
    // on the emulator's clock).
    static constexpr uint32_t kSilentReadMs = 5000;

    // habits: which lies the board may tell; kHostileAllHabits lets the seed choose a few.
    explicit HostileBoard(uint64_t seed, uint32_t habits = kHostileAllHabits);

    // Makes the emulator's answers go through this board. The emulator keeps a reference to the
    // shared state: the HostileBoard object itself may go away first.
    void Attach(LoaderEmulator& emulator);

    uint32_t Habits() const;
    HostileCounts Counts() const;

  private:
    struct State;
    std::shared_ptr<State> state_;
};
