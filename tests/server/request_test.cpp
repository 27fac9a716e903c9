#include "server/request.h"
#include "server/request_names.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <ostream>
#include <cstring>
#include <string>

namespace {

struct CommandCase {
    const char* request;
    int expected;  // index into COMMANDS, -1 for none
};
void PrintTo(const CommandCase& c, std::ostream* out) { *out << '"' << c.request << '"'; }

class CommandWordTest : public ::testing::TestWithParam<CommandCase> {};

TEST_P(CommandWordTest, FirstWordOfTheTableWins) {
    EXPECT_EQ(FindCommandWord(GetParam().request), GetParam().expected) << GetParam().request;
}

INSTANTIATE_TEST_SUITE_P(
    Dispatch, CommandWordTest,
    ::testing::Values(CommandCase{"listdir path=\\x&size=100", 0},
                      CommandCase{"streamopen filename=a.avi.pmp", 1},
                      CommandCase{"stream2header fd=1", 2},
                      CommandCase{"streampackets fd=1&packet=0", 3},
                      // A word inside a value counts, and "listdir" is tested first.
                      CommandCase{"streamopen filename=my listdir clip.pmp", 0},
                      CommandCase{"streampackets fd=1 stream2header", 2},
                      CommandCase{"GET /streampackets", 3},
                      CommandCase{"xxlistdirxx", 0},
                      // Capital letters are not the words.
                      CommandCase{"LISTDIR path=&size=100", -1},
                      CommandCase{"StreamOpen filename=a.pmp", -1},
                      CommandCase{"", -1},
                      CommandCase{"list dir", -1},
                      CommandCase{"streamheader fd=1", -1}));

TEST(RequestTextTest, ZeroByteEndsTheSearchedText) {
    const char request[] = "junk\0listdir";
    EXPECT_EQ(FindCommandWord(request), -1);
}

TEST(RequestValueTest, FirstOccurrenceAndInsideLongerWords) {
    char request[] = "stream2header xfd=7&fd=9";
    const char* value = FindRequestValue(request, "fd=");
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(ReadRequestInt(value), 7);
    EXPECT_EQ(FindRequestValue(request, "packet="), nullptr);
    EXPECT_EQ(FindRequestValue(request, "FD="), nullptr);  // keys are case-sensitive
}

struct IntCase {
    const char* text;
    int expected;
};
void PrintTo(const IntCase& c, std::ostream* out) { *out << '"' << c.text << '"'; }

class ReadIntTest : public ::testing::TestWithParam<IntCase> {};

TEST_P(ReadIntTest, AtoiRules) {
    EXPECT_EQ(ReadRequestInt(GetParam().text), GetParam().expected) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(Values, ReadIntTest,
                         ::testing::Values(IntCase{"4096&framediv=2", 4096}, IntCase{"  12", 12},
                                           IntCase{"-5x", -5}, IntCase{"+7", 7}, IntCase{"abc", 0},
                                           IntCase{"", 0}, IntCase{"- 5", 0}, IntCase{"12.9", 12},
                                           // Saturates instead of being undefined.
                                           IntCase{"99999999999999999999", INT_MAX},
                                           IntCase{"-99999999999999999999", INT_MIN}));

TEST(ReadFloatTest, AtofRules) {
    EXPECT_DOUBLE_EQ(ReadRequestFloat("1.5&vbitrate=3"), 1.5);
    EXPECT_DOUBLE_EQ(ReadRequestFloat(" 2e0x"), 2.0);
    EXPECT_DOUBLE_EQ(ReadRequestFloat("x"), 0.0);
    EXPECT_DOUBLE_EQ(ReadRequestFloat("-.25"), -0.25);
}

TEST(ReadFloatTest, OnlyDecimalDigitsFractionAndExponent) {
    const struct {
        const char* text;
        double expected;
    } cases[] = {
        {"\t+1.75e1&x", 17.5}, {"2.", 2.0},   {"-3e-1", -0.3},  {"4e", 4.0},  {"5e+", 5.0},
        {"6E+1", 60.0},        {".", 0.0},    {"-.", 0.0},      {"+", 0.0},   {"e5", 0.0},
        // What strtod would also take, and a client's number never is.
        {"0x10", 0.0},         {"inf", 0.0},  {"-infinity", 0.0}, {"nan", 0.0}, {"1,5", 1.0},
    };
    for (const auto& c : cases) {
        EXPECT_DOUBLE_EQ(ReadRequestFloat(c.text), c.expected) << c.text;
    }
    EXPECT_EQ(ReadRequestFloat("1e999"), HUGE_VAL);
}

TEST(ReadSlotTest, HandleMinusOneWithoutWrapping) {
    EXPECT_EQ(ReadRequestSlot("1"), 0);
    EXPECT_EQ(ReadRequestSlot("51&packet=0"), 50);
    EXPECT_EQ(ReadRequestSlot("0"), -1);
    EXPECT_EQ(ReadRequestSlot("x"), -1);
    EXPECT_EQ(ReadRequestSlot("2147483647"), INT_MAX - 1);
    // The lowest handle (or one beyond it) must not wrap round to a slot number.
    EXPECT_EQ(ReadRequestSlot("-2147483648"), INT_MIN);
    EXPECT_EQ(ReadRequestSlot("-99999999999"), INT_MIN);
}

struct PathCase {
    const char* request;  // text after "path="
    const char* value;
};
void PrintTo(const PathCase& c, std::ostream* out) { *out << '"' << c.request << '"'; }

class CutPathTest : public ::testing::TestWithParam<PathCase> {};

TEST_P(CutPathTest, EndsAtSizeElseSpaceElseEnd) {
    std::string buffer = GetParam().request;
    EXPECT_STREQ(CutPathValue(buffer.data()), GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(
    Values, CutPathTest,
    ::testing::Values(PathCase{"\\home\\My Films&size=100", "\\home\\My Films"},
                      PathCase{"\\home\\My Films size=100", "\\home\\My"},
                      PathCase{"\\home\\films", "\\home\\films"},
                      PathCase{"a&b&size=1", "a&b"},
                      PathCase{"a&sizes b", "a"},  // "&size" need not be followed by "="
                      PathCase{"", ""}));

// Which names a listing may offer: file names and feed titles (with the marks
// the listing adds) come back as "filename=", folders as "path=".
TEST(RequestNamesTest, AStreamNameSurvivesWhenStreamopenReadsItWhole) {
    const struct {
        std::string name;
        bool survives;
    } cases[] = {
        {"plain.avi", true},
        {"Ep 1[downloading][downloaded]", true},
        {"Tom & Jerry: size=3 path=x filename=y", true},
        {"stream2header streampackets.avi", true},  // "streamopen" is tested before them
        {"ep.pmp.mp4", false},                      // cut at the first ".pmp"
        {"Has .pmp inside[downloaded]", false},
        {"a&stime=30.mp4", false},                  // the start time would be read from it
        {"stime=", false},
        {"my listdir clip.avi", false},             // served as a listing
        {"two\nlines", false},
        {"cr\rx.avi", false},
        {std::string(1991, 't'), true},             // the request still has room for a start time
        {std::string(1992, 't'), false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(StreamNameSurvivesRequest(c.name), c.survives) << c.name.substr(0, 40);
    }
}

TEST(RequestNamesTest, AFolderNameSurvivesWhenListdirReadsItWhole) {
    const struct {
        const char* name;
        bool survives;
    } cases[] = {
        {"with space", true},
        {"/srv/My Films", true},
        {"c.pmp", true},
        {"stime=3", true},
        {"listdir", true},
        {"framediv=2&vbitrate=9", true},  // the settings keys are searched from the client's "size=" on
        {"path=x", true},
        {"a&size=1", false},              // the path would end at "&size"
        {"b&sizeable", false},
        {"/srv/a&size", false},
        {"xsize=5", false},               // the limit would be read from the name
        {"line\nbreak", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FolderNameSurvivesRequest(c.name), c.survives) << c.name;
    }
}

}  // namespace
