// Which key presses end the key wait after the usage text on a Windows
// console. The rule is written against the fields of a console key event but
// needs no Windows header, so that the tests on every system can check it.
#pragma once

#include <cstdint>

struct ConsoleKey {
    bool down = true;             // pressed, not released
    uint16_t virtualKey = 0;      // the Windows virtual-key code
    unsigned char character = 0;  // the character it produced, 0 for none
};

// A pressed key that produces a character (Ctrl-C too: it is just a key
// here) or is a cursor, editing or function key ends the wait. Shift, Ctrl,
// Alt, the Windows keys and the lock keys alone do not, nor does a dead key
// (its character comes with the next key). A released key does not either,
// except Alt carrying the character typed as Alt + digits on the keypad.
bool KeyEndsWait(const ConsoleKey& key);

// The virtual-key codes the rule names (values of the Windows API).
namespace vk {
inline constexpr uint16_t kClear = 0x0C;
inline constexpr uint16_t kShift = 0x10;
inline constexpr uint16_t kControl = 0x11;
inline constexpr uint16_t kAlt = 0x12;  // VK_MENU
inline constexpr uint16_t kPause = 0x13;
inline constexpr uint16_t kCapsLock = 0x14;
inline constexpr uint16_t kPageUp = 0x21;   // first of the cursor and editing keys
inline constexpr uint16_t kHelp = 0x2F;     // last of them
inline constexpr uint16_t kLeftWindows = 0x5B;
inline constexpr uint16_t kRightWindows = 0x5C;
inline constexpr uint16_t kApplications = 0x5D;
inline constexpr uint16_t kF1 = 0x70;
inline constexpr uint16_t kF24 = 0x87;
inline constexpr uint16_t kNumLock = 0x90;
inline constexpr uint16_t kScrollLock = 0x91;
inline constexpr uint16_t kLeftShift = 0xA0;  // first of the left/right modifier codes
inline constexpr uint16_t kRightAlt = 0xA5;   // last of them
}  // namespace vk
