// The program's folder, the system folder and the PHP folder resolution.
#include <gtest/gtest.h>

#include <ostream>
#include <vector>

#include "fixture.h"
#include "supervisor/paths.h"

namespace {

struct FolderCase {
    const char* name;
    bool gbk;
    Text modulePath;
    Text expected;
};

void PrintTo(const FolderCase& c, std::ostream* out) {
    *out << c.name;
}

class RunDirectoryTest : public FakePlatformTest,
                         public ::testing::WithParamInterface<FolderCase> {};

TEST_P(RunDirectoryTest, IsTheModulePathCutBeforeItsLastBackslash) {
    os().gbk = GetParam().gbk;
    EXPECT_EQ(runDirectoryOf(GetParam().modulePath), GetParam().expected);
}

// 乗 is the GBK pair 0x81 0x5C: its trail byte is a backslash byte but not a separator.
INSTANTIATE_TEST_SUITE_P(
    Values, RunDirectoryTest,
    ::testing::Values(
        FolderCase{"plain", true, "C:\\pkg\\phpkeeper.exe", "C:\\pkg"},
        FolderCase{"drive_root", true, "C:\\phpkeeper.exe", "C:"},
        FolderCase{"no_backslash", true, "phpkeeper.exe", ""}, FolderCase{"empty", true, "", ""},
        FolderCase{"gbk_folder_ending_in_trail_byte", true, "C:\\\x81\\\\phpkeeper.exe",
                   "C:\\\x81\\"},
        FolderCase{"gbk_trail_byte_in_file_name", true, "C:\\pkg\\\x81\\keeper.exe", "C:\\pkg"},
        FolderCase{"gbk_trail_byte_is_the_only_backslash_byte", true, "\x81\\keeper.exe", ""},
        FolderCase{"same_bytes_in_a_single_byte_code_page", false, "C:\\pkg\\\x81\\keeper.exe",
                   "C:\\pkg\\\x81"}),
    CaseName{});

TEST_F(FakePlatformTest, SystemFolderGetsOneTrailingBackslash) {
    EXPECT_EQ(withTrailingBackslash("C:\\Windows\\system32"), "C:\\Windows\\system32\\");
    EXPECT_EQ(withTrailingBackslash("C:\\Windows\\system32\\"), "C:\\Windows\\system32\\");
    EXPECT_EQ(withTrailingBackslash(""), "");
    // A folder ending in 乗 ends in a character, not in a separator.
    EXPECT_EQ(withTrailingBackslash("C:\\\x81\\"), "C:\\\x81\\\\");
}

struct LayoutCase {
    const char* name;
    Text installPath;
    Text version;
    std::vector<Text> existing;
    Text expectedRoot;
    std::vector<std::string> expectedProbes;
};

void PrintTo(const LayoutCase& c, std::ostream* out) {
    *out << c.name;
}

class PhpRootTest : public FakePlatformTest, public ::testing::WithParamInterface<LayoutCase> {};

TEST_P(PhpRootTest, TriesTheFlatLayoutThenTheNestedOne) {
    const LayoutCase& c = GetParam();
    os().existingPaths.insert(c.existing.begin(), c.existing.end());
    EXPECT_EQ(resolvePhpRoot(c.installPath, c.version), c.expectedRoot);
    EXPECT_EQ(fake::callsStartingWith("pathExists"), c.expectedProbes);
}

INSTANTIATE_TEST_SUITE_P(
    Values, PhpRootTest,
    ::testing::Values(LayoutCase{"flat_layout",
                                 "D:\\pkg\\php\\",
                                 "php-7.0",
                                 {"D:\\pkg\\php\\php-7.0\\php-cgi.exe"},
                                 "D:\\pkg\\php\\",
                                 {"pathExists D:\\pkg\\php\\php-7.0\\php-cgi.exe"}},
                      LayoutCase{"nested_layout",
                                 "D:\\pkg",
                                 "php-7.0",
                                 {"D:\\pkg\\php\\php-7.0\\php-cgi.exe"},
                                 "D:\\pkg\\php\\",
                                 {"pathExists D:\\pkgphp-7.0\\php-cgi.exe",
                                  "pathExists D:\\pkg\\php\\php-7.0\\php-cgi.exe"}},
                      LayoutCase{"flat_wins_when_both_exist",
                                 "D:\\x\\",
                                 "v",
                                 {"D:\\x\\v\\php-cgi.exe", "D:\\x\\\\php\\v\\php-cgi.exe"},
                                 "D:\\x\\",
                                 {"pathExists D:\\x\\v\\php-cgi.exe"}},
                      LayoutCase{"neither_layout",
                                 "D:\\pkg",
                                 "php-7.0",
                                 {},
                                 "D:\\pkg",
                                 {"pathExists D:\\pkgphp-7.0\\php-cgi.exe",
                                  "pathExists D:\\pkg\\php\\php-7.0\\php-cgi.exe"}},
                      LayoutCase{"nothing_configured_probes_the_drive_root",
                                 "",
                                 "",
                                 {"\\php\\\\php-cgi.exe"},
                                 "\\php\\",
                                 {"pathExists \\php-cgi.exe", "pathExists \\php\\\\php-cgi.exe"}}),
    CaseName{});

}  // namespace
