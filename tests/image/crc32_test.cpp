#include "image.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <string>

namespace {

uint32_t crc_of(const std::string& bytes) {
  return crc32_update(reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<uint32_t>(bytes.size()));
}

std::string all_bytes() {
  std::string bytes(256, '\0');
  std::iota(bytes.begin(), bytes.end(), '\0');
  return bytes;
}

// "earlier" is added right after the reset; "data" then continues from there.
struct crc_case {
  const char* name;
  std::string earlier;
  std::string data;
  uint32_t expected;
};

TEST(Crc32, KnownValuesAndContinuedComputations) {
  const crc_case cases[] = {
      {"check value", "", "123456789", 0xCBF43926U},
      {"no bytes", "", "", 0},
      {"one byte", "", "a", 0xE8B7BE43U},
      {"three bytes", "", "abc", 0x352441C2U},
      {"every byte value", "", all_bytes(), 0x29058C73U},
      {"sixteen 0xFF", "", std::string(16, '\xFF'), 0x3FB3C61AU},
      {"check value in two pieces", "1234", "56789", 0xCBF43926U},
      {"last byte on its own", "12345678", "9", 0xCBF43926U},
      {"sentence in two pieces", "The quick brown fox ", "jumps over the lazy dog", 0x414FA339U},
      {"zero length repeats the previous result", "123456789", "", 0xCBF43926U},
      {"second piece alone is not the answer", "ab", "c", 0x352441C2U},
  };
  for (const crc_case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(crc32_update(nullptr, 0), 0U);
    crc_of(c.earlier);
    EXPECT_EQ(crc_of(c.data), c.expected);
  }
}

TEST(Crc32, ResetIgnoresLengthAndForgetsEarlierBytes) {
  crc_of("something earlier");
  EXPECT_EQ(crc32_update(nullptr, 12345), 0U);
  EXPECT_EQ(crc32_state, 0xFFFFFFFFU);
  EXPECT_EQ(crc_of(""), 0U);
  EXPECT_EQ(crc32_state, 0xFFFFFFFFU);
  EXPECT_EQ(crc_of("123456789"), 0xCBF43926U);
}

// Needs a process in which nothing has touched the engine yet: the
// threadsafe style runs the statement in a freshly started copy of this
// program.
TEST(Crc32DeathTest, FirstComputationWithoutResetStartsFromAllOnes) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        std::fprintf(stderr, "0x%08X", crc_of("123456789"));
        std::exit(0);
      },
      testing::ExitedWithCode(0), "^0xCBF43926$");
}

} // namespace
