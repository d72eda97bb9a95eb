// Which key presses end the key wait on a Windows console. The rule is plain
// code, so it is checked here on every system.
#include <gtest/gtest.h>

#include <string>

#include "platform/console_keys.h"

namespace {

TEST(KeyEndsWait, CharactersAndSpecialKeysEndItModifiersDoNot) {
    struct Case {
        const char* name;
        ConsoleKey key;  // down, virtual-key code, character
        bool ends;
    };
    const Case cases[] = {
        {"letter", {true, 'X', 'x'}, true},
        {"digit", {true, '7', '7'}, true},
        {"Ctrl-C is just a key", {true, 'C', 0x03}, true},
        {"Enter", {true, 0x0D, '\r'}, true},
        {"Escape", {true, 0x1B, 0x1B}, true},
        {"Space", {true, 0x20, ' '}, true},
        {"Backspace", {true, 0x08, 0x08}, true},
        {"Tab", {true, 0x09, '\t'}, true},
        {"a character beyond ASCII", {true, 0xDE, 0xE9}, true},
        {"cursor up", {true, 0x26, 0}, true},
        {"cursor left", {true, 0x25, 0}, true},
        {"Home", {true, 0x24, 0}, true},
        {"Page Up", {true, 0x21, 0}, true},
        {"Page Down", {true, 0x22, 0}, true},
        {"Insert", {true, 0x2D, 0}, true},
        {"Delete", {true, 0x2E, 0}, true},
        {"keypad 5 without Num Lock", {true, 0x0C, 0}, true},
        {"F1", {true, 0x70, 0}, true},
        {"F12", {true, 0x7B, 0}, true},
        {"F24", {true, 0x87, 0}, true},
        {"Pause", {true, 0x13, 0}, true},
        {"menu key", {true, 0x5D, 0}, true},
        {"Shift", {true, 0x10, 0}, false},
        {"Ctrl", {true, 0x11, 0}, false},
        {"Alt", {true, 0x12, 0}, false},
        {"left Shift", {true, 0xA0, 0}, false},
        {"right Alt", {true, 0xA5, 0}, false},
        {"Caps Lock", {true, 0x14, 0}, false},
        {"Num Lock", {true, 0x90, 0}, false},
        {"Scroll Lock", {true, 0x91, 0}, false},
        {"left Windows key", {true, 0x5B, 0}, false},
        {"right Windows key", {true, 0x5C, 0}, false},
        {"dead key (accent waiting for its letter)", {true, 0xDE, 0}, false},
        // Releases do not count, except Alt releasing a character typed as
        // Alt + keypad digits.
        {"letter released", {false, 'X', 'x'}, false},
        {"F1 released", {false, 0x70, 0}, false},
        {"Alt released alone", {false, 0x12, 0}, false},
        {"Alt released with a keypad character", {false, 0x12, 0xE9}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(KeyEndsWait(c.key), c.ends);
    }
}

}  // namespace
