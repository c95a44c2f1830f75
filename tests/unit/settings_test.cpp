// Reading "phpnum" and "phpvers" values.
#include <gtest/gtest.h>

#include <climits>
#include <ostream>
#include <vector>

#include "fixture.h"
#include "supervisor/settings.h"

namespace {

struct NumberCase {
    const char* name;
    bool gbk;
    Text text;
    int expected;
};

void PrintTo(const NumberCase& c, std::ostream* out) {
    *out << c.name;
}

// Full-width forms in GBK: digits are A3B0..A3B9, plus A3AB, minus A3AD, ideographic space A1A1.
const Text kFullWidthTwo = "\xA3\xB2";
const Text kFullWidthOne = "\xA3\xB1";
const Text kFullWidthPlus = "\xA3\xAB";
const Text kFullWidthMinus = "\xA3\xAD";
const Text kIdeographicSpace = "\xA1\xA1";

class PhpnumTest : public FakePlatformTest, public ::testing::WithParamInterface<NumberCase> {};

TEST_P(PhpnumTest, ReadsAsTheNumberItSpells) {
    os().gbk = GetParam().gbk;
    EXPECT_EQ(textToInteger(GetParam().text), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Values, PhpnumTest,
    ::testing::Values(
        NumberCase{"ascii", true, "3", 3}, NumberCase{"several_digits", true, "12", 12},
        NumberCase{"leading_white_space", true, " \t\r\n 7", 7},
        NumberCase{"plus_sign", true, "+5", 5}, NumberCase{"minus_sign", true, "-2", -2},
        NumberCase{"stops_at_first_non_digit", true, "12abc", 12},
        NumberCase{"blank_after_sign_ends_it", true, "- 5", 0},
        NumberCase{"two_signs", true, "+-5", 0}, NumberCase{"no_digits", true, "abc", 0},
        NumberCase{"only_a_sign", true, "-", 0}, NumberCase{"empty", true, "", 0},
        NumberCase{"full_width_digits", true, kFullWidthOne + kFullWidthTwo, 12},
        NumberCase{"full_and_half_width_mixed", true, kFullWidthOne + "2", 12},
        NumberCase{"full_width_plus", true, kFullWidthPlus + "4", 4},
        NumberCase{"full_width_minus", true, kFullWidthMinus + kFullWidthTwo, -2},
        NumberCase{"ideographic_space_skipped", true, kIdeographicSpace + "8", 8},
        NumberCase{"other_double_byte_is_not_a_digit", true,
                   "\xD6\xD0"
                   "5",
                   0},
        NumberCase{"lone_lead_byte_at_end", true, "4\xA3", 4},
        NumberCase{"no_folding_outside_a_double_byte_code_page", false, kFullWidthTwo, 0},
        NumberCase{"wraps_past_32_bits", true, "4294967299", 3},
        NumberCase{"wraps_into_the_sign_bit", true, "2147483648", INT_MIN},
        NumberCase{"negative_wraps_too", true, "-4294967295", 1}),
    CaseName{});

struct ListCase {
    const char* name;
    Text text;
    std::vector<Text> expected;
};

void PrintTo(const ListCase& c, std::ostream* out) {
    *out << c.name;
}

class VersionListTest : public FakePlatformTest, public ::testing::WithParamInterface<ListCase> {};

TEST_P(VersionListTest, SplitsOnCommas) {
    EXPECT_EQ(splitVersionList(GetParam().text), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Values, VersionListTest,
    ::testing::Values(
        ListCase{"three_names", "php-7.4,php-8.3,php-8.4", {"php-7.4", "php-8.3", "php-8.4"}},
        ListCase{"blanks_around_names_dropped", " php-7.4 ,\tphp-8.3\t", {"php-7.4", "php-8.3"}},
        ListCase{"blank_inside_a_name_kept", "php 8.3,x", {"php 8.3", "x"}},
        ListCase{"empty_names_skipped", ",php-7.4,,php-8.3,", {"php-7.4", "php-8.3"}},
        ListCase{"one_name", "php-8.3", {"php-8.3"}}, ListCase{"empty", "", {}},
        ListCase{"only_blanks_and_commas", " , \t,", {}},
        // 乗 is 0x81 0x5C and the full-width comma is 0xA3 0xAC: neither is a comma byte.
        ListCase{"gbk_names",
                 "php-\x81\\,php\xA3\xAC"
                 "8",
                 {"php-\x81\\",
                  "php\xA3\xAC"
                  "8"}}),
    CaseName{});

}  // namespace
