#include "core/media_paths.h"

#include <gtest/gtest.h>

#include <ostream>

namespace {

struct ExtensionCase {
    const char* name;
    bool passes;
};
void PrintTo(const ExtensionCase& c, std::ostream* out) { *out << c.name; }

class HasSupportedExtensionTest : public ::testing::TestWithParam<ExtensionCase> {};

TEST_P(HasSupportedExtensionTest, EndsInExtensionOrOneCharacterMore) {
    const std::vector<std::string> list = {"avi"};
    EXPECT_EQ(HasSupportedExtension(list, GetParam().name), GetParam().passes) << GetParam().name;
}

INSTANTIATE_TEST_SUITE_P(AviList, HasSupportedExtensionTest,
                         ::testing::Values(ExtensionCase{"CLIP.AVI", true}, ExtensionCase{"CLIP.AVI1", true},
                                           ExtensionCase{"CLIP.AVI12", false},
                                           ExtensionCase{"CLIP.AVI.TXT", false}, ExtensionCase{".AVI", false},
                                           ExtensionCase{"X.AVI", true}, ExtensionCase{"CLIPAVI", false},
                                           ExtensionCase{"CLIP.AV", false},
                                           // The caller upper-cases; a lower-case name does not pass.
                                           ExtensionCase{"clip.avi", false}));

TEST(HasSupportedExtensionTest, ListEntriesInAnyCaseAndInOrder) {
    const std::vector<std::string> list = {"Mp4", "MPEG"};
    EXPECT_TRUE(HasSupportedExtension(list, "A.MP4"));
    EXPECT_TRUE(HasSupportedExtension(list, "A.MPEG"));
    EXPECT_FALSE(HasSupportedExtension(list, "A.MPG"));
    EXPECT_FALSE(HasSupportedExtension({}, "A.MP4"));
}

TEST(HasSupportedExtensionTest, OneMoreCharacterMayTakeSeveralBytes) {
    const std::vector<std::string> list = {"avi"};
    EXPECT_TRUE(HasSupportedExtension(list, "CLIP.AVI\xc3\xa9"));        // one two-byte character
    EXPECT_TRUE(HasSupportedExtension(list, "CLIP.AVI\xe2\x82\xac"));   // one three-byte character
    EXPECT_FALSE(HasSupportedExtension(list, "CLIP.AVI\xc3\xa9x"));
    EXPECT_TRUE(HasSupportedExtension(list, "\xc3\x89.AVI"));
    EXPECT_TRUE(HasSupportedExtension({"\xc3\xa9"}, "A.\xc3\xa9"));
    EXPECT_FALSE(HasSupportedExtension({"\xc3\xa9"}, ".\xc3\xa9"));
}

TEST(HasSupportedExtensionTest, EmptyEntryPassesADotAtTheEndOrOneBefore) {
    const std::vector<std::string> list = {""};
    EXPECT_TRUE(HasSupportedExtension(list, "NAME."));
    EXPECT_TRUE(HasSupportedExtension(list, "NAME.X"));
    EXPECT_FALSE(HasSupportedExtension(list, "NAME.XY"));
}

struct NormalCase {
    const char* path;
    const char* normal;
};
void PrintTo(const NormalCase& c, std::ostream* out) { *out << c.path; }

class NormalizeTest : public ::testing::TestWithParam<NormalCase> {};

TEST_P(NormalizeTest, ResolvesDotsLexically) {
    EXPECT_EQ(NormalizePathLexically(GetParam().path), GetParam().normal) << GetParam().path;
}

INSTANTIATE_TEST_SUITE_P(Paths, NormalizeTest,
                         ::testing::Values(NormalCase{"/a/b/../c", "/a/c"}, NormalCase{"/a/./b/", "/a/b"},
                                           NormalCase{"//a//b", "/a/b"}, NormalCase{"/..", "/"},
                                           NormalCase{"/a/../../etc", "/etc"}, NormalCase{"/", "/"},
                                           NormalCase{"a/../..", ".."}, NormalCase{"a/./b", "a/b"}));

struct InsideCase {
    const char* path;
    const char* folder;
    bool inside;
};
void PrintTo(const InsideCase& c, std::ostream* out) { *out << c.path << " in " << c.folder; }

class InsideFolderTest : public ::testing::TestWithParam<InsideCase> {};

TEST_P(InsideFolderTest, AfterBackslashesAndDots) {
    EXPECT_EQ(IsPathInsideFolder(GetParam().path, GetParam().folder), GetParam().inside)
        << GetParam().path << " in " << GetParam().folder;
}

INSTANTIATE_TEST_SUITE_P(
    Paths, InsideFolderTest,
    ::testing::Values(InsideCase{"/m/films", "/m", true}, InsideCase{"/m", "/m", true},
                      InsideCase{"/m", "/m/", true}, InsideCase{"/m\\films\\x", "/m", true},
                      InsideCase{"/m\\..\\..\\etc", "/m", false}, InsideCase{"/m/a/../../m/b", "/m", true},
                      InsideCase{"/m/a/../..", "/m", false}, InsideCase{"/media2", "/m", false},
                      InsideCase{"/mx/y", "/m", false}, InsideCase{"/anything", "/", true},
                      InsideCase{"/m/x", "", false}, InsideCase{"relative", "/", false}));

}  // namespace
