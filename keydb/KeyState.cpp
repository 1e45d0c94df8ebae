#include "keydb/KeyState.h"

std::optional<KeyState> NextKeyState(KeyState from, KeyEvent event) {
    switch (event) {
        case KeyEvent::kTake:
            if (from == KeyState::kFree || from == KeyState::kReturned) {
                return KeyState::kTaken;
            }
            break;
        case KeyEvent::kReserve:
            if (from == KeyState::kTaken) {
                return KeyState::kReserved;
            }
            break;
        case KeyEvent::kReturn:
            if (from == KeyState::kTaken) {
                return KeyState::kReturned;
            }
            break;
        case KeyEvent::kDeliver:
            if (from == KeyState::kReserved) {
                return KeyState::kDelivered;
            }
            break;
        case KeyEvent::kSpend:
            if (from == KeyState::kReserved) {
                return KeyState::kSpent;
            }
            break;
        case KeyEvent::kExport:
            if (from == KeyState::kFree || from == KeyState::kReturned) {
                return KeyState::kExported;
            }
            break;
    }
    return std::nullopt;
}

bool KeyMayBeOnBoard(KeyState state) {
    return state == KeyState::kReserved || state == KeyState::kDelivered ||
           state == KeyState::kSpent || state == KeyState::kInDoubt || state == KeyState::kExported;
}

const char* KeyStateName(KeyState state) {
    switch (state) {
        case KeyState::kFree:
            return "free";
        case KeyState::kTaken:
            return "taken";
        case KeyState::kReserved:
            return "reserved";
        case KeyState::kDelivered:
            return "delivered";
        case KeyState::kSpent:
            return "spent";
        case KeyState::kReturned:
            return "returned";
        case KeyState::kInDoubt:
            return "in doubt";
        case KeyState::kExported:
            return "exported";
    }
    return "?";
}

const char* KeyEventName(KeyEvent event) {
    switch (event) {
        case KeyEvent::kTake:
            return "take";
        case KeyEvent::kReserve:
            return "reserve";
        case KeyEvent::kDeliver:
            return "deliver";
        case KeyEvent::kSpend:
            return "spend";
        case KeyEvent::kReturn:
            return "return";
        case KeyEvent::kExport:
            return "export";
    }
    return "?";
}
