// The life of one key in the station, in one place. A key is
//   free      -> taken      (GetKey: handed to a job, marked only in memory)
//   taken     -> reserved   (recorded as used on disk and in the journal, before the first device
//                            command that carries any of its bytes)
//   taken     -> returned   (never left the station: free again)
//   reserved  -> delivered  (the job verified it on its board)
//   reserved  -> spent      (the job failed after the reservation: the key may be on a board and
//                            is never handed out again)
// A taken key whose job ended before its reservation stays taken ("held") until the file is
// unloaded. "In doubt" is what a crash leaves: a reservation in the journal without an end record.
#pragma once

#include <cstdint>
#include <optional>

enum class KeyState : uint8_t {
    kFree,
    kTaken,
    kReserved,
    kDelivered,
    kSpent,
    kReturned,
    kInDoubt,
};

enum class KeyEvent : uint8_t {
    kTake,
    kReserve,
    kDeliver,
    kSpend,
    kReturn,
};

// The state after `event`, or nothing when the event is not allowed in state `from`.
std::optional<KeyState> NextKeyState(KeyState from, KeyEvent event);

// True when the key may have reached a board: it must stay used for good.
constexpr bool MayBeOnBoard(KeyState state) {
    return state == KeyState::kReserved || state == KeyState::kDelivered ||
           state == KeyState::kSpent || state == KeyState::kInDoubt;
}

// "free", "taken", "reserved", "delivered", "spent", "returned", "in doubt".
const char* KeyStateName(KeyState state);
