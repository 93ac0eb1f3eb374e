// The number syntax of the replies and of -a, as both readers convert it.
#include "link.h"

#include <gtest/gtest.h>

namespace {

struct number_case {
  const char* text;
  uint32_t as_unsigned;
  int32_t as_signed;
};

constexpr number_case number_cases[] = {
    {"42", 42, 42},
    {"42\n", 42, 42},
    {"   42", 42, 42},
    {"\t\n\v\f\r 7", 7, 7},
    {"+5", 5, 5},
    {"0x1F", 31, 31},
    {"0X1f", 31, 31},
    {"-0x10", 0xFFFFFFF0U, -16},
    {"010", 8, 8},
    {"09", 0, 0}, // a leading 0 selects octal; the 9 ends the number
    {"08", 0, 0},
    {"0x", 0, 0}, // no hexadecimal digit: just the 0
    {"0xg1", 0, 0},
    {"12abc", 12, 12},
    {"abc", 0, 0},
    {"", 0, 0},
    {"-", 0, 0},
    {"+-5", 0, 0},
    {"- 5", 0, 0},
    {"-1", 4294967295U, -1},
    {"4294967295", 4294967295U, 2147483647},
    {"4294967296", 4294967295U, 2147483647}, // beyond 32 bits saturates
    {"4294967313", 4294967295U, 2147483647}, // and never wraps to a small value
    {"-4294967296", 1, -2147483647 - 1},     // saturated, then negated
    {"99999999999999999999999", 4294967295U, 2147483647},
    {"0xFFFFFFFFFFFFFFFFFF", 4294967295U, 2147483647},
    {"2147483647", 2147483647, 2147483647},
    {"2147483648", 2147483648U, 2147483647},
    {"-2147483648", 2147483648U, -2147483647 - 1},
    {"-2147483649", 2147483647U, -2147483647 - 1},
    {"037777777777", 4294967295U, 2147483647},
};

TEST(ReplyNumbers, ConvertAsStrtoulAndStrtolOnThirtyTwoBits) {
  for (const number_case& c : number_cases) {
    EXPECT_EQ(gpib_to_uint32(c.text), c.as_unsigned) << '"' << c.text << '"';
    EXPECT_EQ(gpib_to_int32(c.text), c.as_signed) << '"' << c.text << '"';
  }
}

// Where a wrong reading must not pass for a value: one number, then at most
// white space (the reply's line feed).
TEST(ReplyNumbers, WholeRepliesAreOneNumberAndNothingElse) {
  for (const char* whole : {"42\n", "0x1F \r\n", " -7", "9\n", "4294967296"}) {
    uint32_t value = 1;
    EXPECT_TRUE(gpib_reply_uint32(whole, &value)) << '"' << whole << '"';
    EXPECT_EQ(value, gpib_to_uint32(whole));
  }
  for (const char* broken : {"", "\n", "abc", "12abc", "12 3", "0x", "09", "-", "1O\n"}) {
    uint32_t value = 1;
    EXPECT_FALSE(gpib_reply_uint32(broken, &value)) << '"' << broken << '"';
  }
}

} // namespace
