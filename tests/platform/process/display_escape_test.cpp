// How quoted input is shown back: what a terminal would obey, escaped.
#include "platform/process/display_escape.h"

#include <gtest/gtest.h>

#include <string>

TEST(DisplayEscape, ShowsWhatATerminalWouldObey) {
    // Text people write passes as it is, UTF-8 included.
    EXPECT_EQ(EscapeForDisplay("endpoint = http://host/a?b=c"), "endpoint = http://host/a?b=c");
    EXPECT_EQ(EscapeForDisplay("Größe ‒ 測試 🎮"), "Größe ‒ 測試 🎮");
    EXPECT_EQ(EscapeForDisplay(""), "");

    // Controls, in C form where there is one, else as bytes; a backslash is doubled so
    // "\x1b" in a file never looks like an escaped ESC.
    EXPECT_EQ(EscapeForDisplay("a\tb\nc\rd"), "a\\tb\\nc\\rd");
    EXPECT_EQ(EscapeForDisplay("\x1b]0;owned\a\x1b[2J"), "\\x1b]0;owned\\x07\\x1b[2J");
    EXPECT_EQ(EscapeForDisplay(std::string("a\0b\x7f", 4)), "a\\x00b\\x7f");
    EXPECT_EQ(EscapeForDisplay("C:\\x1b"), "C:\\\\x1b");

    // C1 controls (CSI is U+009B) and the bidirectional overrides, though well formed.
    EXPECT_EQ(EscapeForDisplay("\xc2\x9b"
                               "2J"),
              "\\xc2\\x9b2J");
    EXPECT_EQ(EscapeForDisplay("ab\xe2\x80\xae"
                               "cd\xe2\x81\xa6"),
              "ab\\xe2\\x80\\xaecd\\xe2\\x81\\xa6");
    EXPECT_EQ(EscapeForDisplay("1\xef\xbf\xbe\xef\xbf\xbf"), "1\\xef\\xbf\\xbe\\xef\\xbf\\xbf");

    // Bytes that are not UTF-8: stray continuation, lone lead, cut-off sequence at the
    // end, overlong '/', a surrogate, beyond U+10FFFF, 0xFF.
    EXPECT_EQ(EscapeForDisplay("\x80x\xc3"), "\\x80x\\xc3");
    EXPECT_EQ(EscapeForDisplay("\xe2\x82"), "\\xe2\\x82");
    EXPECT_EQ(EscapeForDisplay("\xc0\xaf"), "\\xc0\\xaf");
    EXPECT_EQ(EscapeForDisplay("\xed\xa0\x80"), "\\xed\\xa0\\x80");
    EXPECT_EQ(EscapeForDisplay("\xf4\x90\x80\x80"), "\\xf4\\x90\\x80\\x80");
    EXPECT_EQ(EscapeForDisplay("\xff\xfe"), "\\xff\\xfe");
    // A good sequence right after a bad byte survives.
    EXPECT_EQ(EscapeForDisplay("\xe2\xc3\xa9"), "\\xe2\xc3\xa9");
}
