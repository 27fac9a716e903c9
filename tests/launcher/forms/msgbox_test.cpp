#include "launcher/MsgBox.h"

#include <gtest/gtest.h>

namespace {

TEST(MessageBoxLogLineTest, IsTitleAndTextWithEachLineBreakWrittenAsBackslashN) {
    struct Case {
        const char* text;
        const char* line;
    } const cases[] = {
        {"USB Mode enabled.", "Tarnwick: USB Mode enabled."},
        {"a\rb\r\rc", "Tarnwick: a\\nb\\n\\nc"},
        {"a\r\nb\nc\n", "Tarnwick: a\\nb\\nc\\n"},
        {"", "Tarnwick: "},
    };
    for (const Case& c : cases) EXPECT_EQ(MessageBoxLogLine(c.text, "Tarnwick"), c.line) << c.text;
}

}  // namespace
