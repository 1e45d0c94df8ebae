// The life of one key in the station, in one place. A key is
//   free      -> taken      (GetKey: handed to a job, marked only in memory)
//   taken     -> reserved   (recorded as used on disk and in the journal, before the first device
//                            command that carries any of its bytes)
//   taken     -> returned   (never left the station: free again)
//   reserved  -> delivered  (the job verified it on its board)
//   reserved  -> spent      (the job failed after the reservation: the key may be on a board and
//                            is never handed out again)
//   free      -> exported   (the shared key pool only: written out to a key file by an export,
//                            never handed out by the pool again)
// A taken key whose job ended before its reservation stays taken ("held") until the file is
// unloaded. "In doubt" is what a crash leaves: a reservation in the journal without an end record.
// The shared key pool takes and reserves a key in one committed step before any byte of it leaves
// the server, so there a key whose bytes a station holds is never free again.
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
    kExported,
};

enum class KeyEvent : uint8_t {
    kTake,
    kReserve,
    kDeliver,
    kSpend,
    kReturn,
    kExport,
};

// The state after `event`, or nothing when the event is not allowed in state `from`.
std::optional<KeyState> NextKeyState(KeyState from, KeyEvent event);

// True when a board may hold the key: it was reserved (its bytes may have left the station) or
// it went out of the source some other way. Free, taken and returned keys never reached a board.
bool KeyMayBeOnBoard(KeyState state);

// "free", "taken", "reserved", "delivered", "spent", "returned", "in doubt", "exported".
const char* KeyStateName(KeyState state);
// "take", "reserve", "deliver", "spend", "return", "export".
const char* KeyEventName(KeyEvent event);
