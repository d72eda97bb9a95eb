// The console's rules shared by every system. Standard output and the key
// wait themselves are the system's part: console_posix.cpp (the terminal) and
// console_windows.cpp (the console input device).
#include "platform/console_keys.h"

namespace {

bool IsModifierOrLock(uint16_t key) {
    switch (key) {
        case vk::kShift:
        case vk::kControl:
        case vk::kAlt:
        case vk::kCapsLock:
        case vk::kLeftWindows:
        case vk::kRightWindows:
        case vk::kNumLock:
        case vk::kScrollLock:
            return true;
        default:
            return key >= vk::kLeftShift && key <= vk::kRightAlt;
    }
}

// Keys that mean something without producing a character.
bool IsSpecial(uint16_t key) {
    return key == vk::kClear || key == vk::kPause || key == vk::kApplications ||
           (key >= vk::kPageUp && key <= vk::kHelp) || (key >= vk::kF1 && key <= vk::kF24);
}

}  // namespace

bool KeyEndsWait(const ConsoleKey& key) {
    if (!key.down) return key.virtualKey == vk::kAlt && key.character != 0;
    if (IsModifierOrLock(key.virtualKey)) return false;
    return key.character != 0 || IsSpecial(key.virtualKey);
}
