#include "visa_fixture.h"

#include <chrono>

namespace {

using clock_type = std::chrono::steady_clock;

TEST_F(VisaTest, MessagesAreCompleteOnlyWithEnd) {
  configure_instrument("mode = 3\n");
  const ViSession vi = open_instrument();
  // END is on in a new session.
  ViUInt32 sent = 0;
  ASSERT_EQ(viWrite(vi, reinterpret_cast<const ViByte*>("XXCMD?\n"), 7, &sent), VI_SUCCESS);
  EXPECT_EQ(sent, 7U);
  EXPECT_EQ(read(vi).data, "3\n");

  ASSERT_EQ(write(vi, "XXCMD?\n", false), VI_SUCCESS);
  EXPECT_EQ(read(vi).status, VI_ERROR_TMO) << "a query without END was answered";

  // The same query split over two writes, END on the second only.
  ASSERT_EQ(viClear(vi), VI_SUCCESS);
  ASSERT_EQ(write(vi, "XXC", false), VI_SUCCESS);
  ASSERT_EQ(write(vi, "MD?\n", true), VI_SUCCESS);
  const reply r = read(vi);
  EXPECT_EQ(r.status, VI_SUCCESS);
  EXPECT_EQ(r.data, "3\n");
}

TEST_F(VisaTest, ReadsTakeWholeRepliesOrTheRoomsWorth) {
  configure_instrument();
  const ViSession vi = open_instrument();
  const struct {
    ViUInt32 room;
    std::vector<reply> reads;
  } cases[] = {
      {100, {{VI_SUCCESS, "2\n"}}},
      {2, {{VI_SUCCESS, "2\n"}}},
      {1, {{VI_SUCCESS_MAX_CNT, "2"}, {VI_SUCCESS, "\n"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.room);
    ASSERT_EQ(write(vi, "XXCMD?\n", true), VI_SUCCESS);
    expect_reads(vi, c.room, c.reads);
  }
}

TEST_F(VisaTest, TerminationCharacterEndsARead) {
  const struct {
    const char* text; // a fault's reply text (no line feed), or null for the mode's "2\n"
    char termchar;
    ViUInt32 room;
    std::vector<reply> reads;
  } cases[] = {
      {"1,22,3", ',', 100, {{VI_SUCCESS_TERM_CHAR, "1,"}, {VI_SUCCESS_TERM_CHAR, "22,"}, {VI_SUCCESS, "3"}}},
      {"1,22,3",
       ',',
       2,
       {{VI_SUCCESS_TERM_CHAR, "1,"}, {VI_SUCCESS_MAX_CNT, "22"}, {VI_SUCCESS_TERM_CHAR, ","}, {VI_SUCCESS, "3"}}},
      {nullptr, '\n', 100, {{VI_SUCCESS, "2\n"}}}, // END came with it
      {nullptr, '\n', 1, {{VI_SUCCESS_MAX_CNT, "2"}, {VI_SUCCESS, "\n"}}},
      {"12345", 'x', 100, {{VI_SUCCESS, "12345"}}},
      {"", ',', 100, {{VI_SUCCESS, ""}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << (c.text != nullptr ? c.text : "(mode)") << " " << c.termchar << " " << c.room);
    configure_instrument(c.text != nullptr ? std::string("fault = reply XXCMD? 1 ") + c.text + "\n" : "");
    const ViSession vi = open_instrument();
    ASSERT_EQ(viSetAttribute(vi, VI_ATTR_TERMCHAR, static_cast<unsigned char>(c.termchar)), VI_SUCCESS);
    ASSERT_EQ(viSetAttribute(vi, VI_ATTR_TERMCHAR_EN, VI_TRUE), VI_SUCCESS);
    ASSERT_EQ(write(vi, "XXCMD?\n", true), VI_SUCCESS);
    expect_reads(vi, c.room, c.reads);
  }
}

TEST_F(VisaTest, EmptyReplyIsASuccessWithNoBytes) {
  configure_instrument("fault = reply XXCMD? 1\n");
  const ViSession vi = open_instrument();
  ASSERT_EQ(write(vi, "XXCMD?\n", true), VI_SUCCESS);
  const reply r = read(vi);
  EXPECT_EQ(r.status, VI_SUCCESS);
  EXPECT_EQ(r.data, "");
}

TEST_F(VisaTest, ReadWithoutReplyWaitsTheScaledTimeout) {
  configure("timeout_scale = 0.01\n[GPIB0::17::INSTR]\n");
  const ViSession vi = open_instrument();
  for (const ViUInt32 timeout_ms : {0U, 2000U, 5000U}) {
    SCOPED_TRACE(timeout_ms);
    ASSERT_EQ(viSetAttribute(vi, VI_ATTR_TMO_VALUE, timeout_ms), VI_SUCCESS);
    const auto start = clock_type::now();
    const reply r = read(vi);
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(clock_type::now() - start);
    EXPECT_EQ(r.status, VI_ERROR_TMO);
    EXPECT_EQ(r.data, "");
    EXPECT_GE(waited.count(), timeout_ms / 100);
    EXPECT_LT(waited.count(), timeout_ms / 100 + 500) << "the timeout was not scaled";
  }
}

TEST_F(VisaTest, ClearDropsPendingOutputAndPartialInput) {
  configure_instrument();
  const ViSession vi = open_instrument();
  ASSERT_EQ(write(vi, "XXCMD?\n", true), VI_SUCCESS);
  ASSERT_EQ(viClear(vi), VI_SUCCESS);
  EXPECT_EQ(read(vi).status, VI_ERROR_TMO);

  ASSERT_EQ(write(vi, "garbage", false), VI_SUCCESS);
  ASSERT_EQ(viClear(vi), VI_SUCCESS);
  ASSERT_EQ(write(vi, "XXCMD?\n", true), VI_SUCCESS);
  EXPECT_EQ(read(vi).data, "2\n");
}

} // namespace
