// The trace's lines, written and read back: what the recording, the
// stand-in's trace and the replay all rely on.
#include <trace.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string text_of(const trace_text& text) { return {text.data, text.length}; }

std::string data(const std::string& bytes, size_t text_max) {
  trace_text text;
  trace_clear(text);
  trace_add_data(text, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), text_max);
  return text_of(text);
}

TEST(TraceFormat, DataIsEscapedTextOrItsLengthAndCrc) {
  EXPECT_EQ(data("XXCMD?\n", 100), "\"XXCMD?\\n\"");
  EXPECT_EQ(data(std::string("\0\xFF\"\\\t\r\x7F ~", 9), 100), "\"\\x00\\xFF\\\"\\\\\\t\\r\\x7F ~\"");
  EXPECT_EQ(data("", 100), "\"\"");
  EXPECT_EQ(data(std::string(100, 'A'), 100), "\"" + std::string(100, 'A') + "\"");
  EXPECT_EQ(data(std::string(101, 'A'), 100), "[101 bytes crc=0x4045F6AA]"); // zlib's crc32 of the same
}

TEST(TraceFormat, TheCrcIsZlibsAtEveryLengthAndAlignment) {
  const std::string check = "123456789";
  EXPECT_EQ(trace_crc32(reinterpret_cast<const uint8_t*>(check.data()), check.size()), 0xCBF43926U);
  std::vector<uint8_t> bytes(40);
  for (size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<uint8_t>(i * 37 + 11);
  }
  for (size_t start = 0; start < 8; ++start) {
    for (size_t length = 0; start + length <= bytes.size(); ++length) {
      uint32_t crc = 0xFFFFFFFFU; // bit by bit, as the standard has it
      for (size_t i = start; i < start + length; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit) {
          crc = (crc & 1U) != 0 ? (crc >> 1) ^ 0xEDB88320U : crc >> 1;
        }
      }
      EXPECT_EQ(trace_crc32(bytes.data() + start, length), ~crc) << start << " " << length;
    }
  }
}

TEST(TraceFormat, CallsSayTheirStatusByNameAndWhatTheyGaveBack) {
  trace_text text;
  const uint8_t reply[] = {'2', '\n'};
  const std::vector<std::pair<std::string, std::string>> rows = [&] {
    std::vector<std::pair<std::string, std::string>> out;
    trace_clear(text);
    trace_open(text, 1, "GPIB0::17::INSTR", 1, 0, 0, 2);
    out.emplace_back(text_of(text), "viOpen(1, \"GPIB0::17::INSTR\", 1, 0) = 0x00000000 VI_SUCCESS vi=2");
    trace_clear(text);
    trace_open(text, 1, "GPIB0::5::INSTR", 0, 0, static_cast<int32_t>(0xBFFF0011U), 0);
    out.emplace_back(text_of(text), "viOpen(1, \"GPIB0::5::INSTR\", 0, 0) = 0xBFFF0011 VI_ERROR_RSRC_NFOUND");
    trace_clear(text);
    trace_read(text, 2, 100, 0, reply, 2);
    out.emplace_back(text_of(text), "viRead(2, 100) = 0x00000000 VI_SUCCESS \"2\\n\" END");
    trace_clear(text);
    trace_read(text, 2, 1, 0x3FFF0006, reply, 1);
    out.emplace_back(text_of(text), "viRead(2, 1) = 0x3FFF0006 VI_SUCCESS_MAX_CNT \"2\"");
    trace_clear(text);
    trace_write(text, 2, nullptr, 5, false, static_cast<int32_t>(0xBFFF0071U), 0);
    out.emplace_back(text_of(text), "viWrite(2, NULL, 5) = 0xBFFF0071 VI_ERROR_USER_BUF");
    trace_clear(text);
    trace_write(text, 2, reply, 2, true, static_cast<int32_t>(0xBFFF0015U), 1); // partly sent
    out.emplace_back(text_of(text), "viWrite(2, \"2\\n\" END, 2) = 0xBFFF0015 VI_ERROR_TMO sent=1");
    trace_clear(text);
    trace_get_attribute(text, 1, trace_attr_rsrc_impl_version, 0, nullptr, 0x00500800);
    out.emplace_back(text_of(text), "viGetAttribute(1, VI_ATTR_RSRC_IMPL_VERSION) = 0x00000000 VI_SUCCESS 0x00500800");
    trace_clear(text);
    trace_get_attribute(text, 1, trace_attr_rsrc_manf_name, 0, "Maker \"X\"", 0);
    out.emplace_back(text_of(text), "viGetAttribute(1, VI_ATTR_RSRC_MANF_NAME) = 0x00000000 VI_SUCCESS \"Maker \\\"X\\\"\"");
    trace_clear(text);
    trace_set_attribute(text, 2, 0x3FFF0021, 5, 0x12345678);
    out.emplace_back(text_of(text), "viSetAttribute(2, 0x3FFF0021, 5) = 0x12345678");
    return out;
  }();
  for (const auto& [got, wanted] : rows) {
    EXPECT_EQ(got, wanted);
  }
}

TEST(TraceFormat, ALineHasItsProcessTimesRecordAndLineFeed) {
  trace_text record;
  trace_clear(record);
  trace_clear_call(record, 2, 0);
  trace_text line;
  trace_make_line(line, 4711, 1234567, 149, record);
  EXPECT_EQ(text_of(line), "4711 1234.5 0.1 viClear(2) = 0x00000000 VI_SUCCESS\n");
  trace_make_line(line, 4711, 0, -1, record);
  EXPECT_EQ(text_of(line), "4711 0.0 - viClear(2) = 0x00000000 VI_SUCCESS\n");
  // A record too long for a line is cut, never the line feed.
  trace_clear(record);
  trace_add(record, std::string(2 * trace_line_room, 'x'));
  EXPECT_TRUE(record.cut);
  trace_make_line(line, 1, 0, -1, record);
  EXPECT_EQ(line.length, trace_line_room - 1);
  EXPECT_EQ(line.data[line.length - 1], '\n');
  EXPECT_TRUE(line.cut);
}

TEST(TraceFormat, TheSessionStartsInUtc) {
  const std::string head = "session kesload " KESLOAD_VERSION " " KESLOAD_PLATFORM " ";
  for (const auto& [ms, when] : std::vector<std::pair<int64_t, std::string>>{
           {0, "1970-01-01T00:00:00.000Z"},
           {1797005929123, "2026-12-11T16:18:49.123Z"},
           {1709251199999, "2024-02-29T23:59:59.999Z"}}) {
    trace_text text;
    trace_clear(text);
    trace_session(text, "kesload", ms);
    EXPECT_EQ(text_of(text), head + when);
  }
}

TEST(TraceParse, ReadsWhatWasWritten) {
  trace_record r;
  ASSERT_TRUE(trace_parse("4711 12.3 0.4 viWrite(2, \"a = b # c\\\") = \" END, 11) = 0x00000000 VI_SUCCESS sent=11 "
                          "# image+0x00010000",
                          r, nullptr));
  EXPECT_EQ(r.kind, trace_kind::call);
  EXPECT_EQ(r.pid, 4711);
  EXPECT_EQ(r.time_us, 12300);
  EXPECT_EQ(r.duration_us, 400);
  EXPECT_EQ(r.function, "viWrite");
  EXPECT_EQ(r.session, 2U);
  EXPECT_EQ(r.call, "viWrite(2, \"a = b # c\\\") = \" END, 11)");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.results, "sent=11");
  EXPECT_EQ(r.record, "viWrite(2, \"a = b # c\\\") = \" END, 11) = 0x00000000 VI_SUCCESS sent=11");

  ASSERT_TRUE(trace_parse("9 14.1 2000.2 pause 2000", r, nullptr));
  EXPECT_EQ(r.kind, trace_kind::pause);
  EXPECT_EQ(r.number, 2000);
  EXPECT_EQ(r.duration_us, 2000200);
  ASSERT_TRUE(trace_parse("9 15.0 - interrupt CTRL_C_EVENT", r, nullptr));
  EXPECT_EQ(r.kind, trace_kind::interrupt);
  EXPECT_EQ(r.word, "CTRL_C_EVENT");
  ASSERT_TRUE(trace_parse("9 16.0 - end 1", r, nullptr));
  EXPECT_EQ(r.kind, trace_kind::end);
  EXPECT_EQ(r.number, 1);
  ASSERT_TRUE(trace_parse("9 0.0 - session kescheck 1.0.0 windows-x86_64 2026-12-11T16:18:49.123Z visa=-", r, nullptr));
  EXPECT_EQ(r.kind, trace_kind::session);
  EXPECT_EQ(r.word, "kescheck");
  ASSERT_TRUE(trace_parse("9 1.0 0.0 viRead(2, 100) = 0xBFFF0015 VI_ERROR_TMO", r, nullptr));
  EXPECT_EQ(r.status, static_cast<int32_t>(0xBFFF0015U));
  EXPECT_EQ(r.results, "");
}

TEST(TraceParse, RefusesWhatIsNoTraceLine) {
  const char* const refused[][2] = {
      {"hello", "no process id"},
      {"4711 x - end 0", "no time"},
      {"4711 1.0 x end 0", "no duration"},
      {"4711 1.0 - end", "an end without its exit status"},
      {"4711 1.0 - pause", "a pause without its length"},
      {"4711 1.0 - viWrite(2, \"abc, 3) = 0x00000000 VI_SUCCESS", "a quoted string is not closed"},
      {"4711 1.0 - viClose(2) = 0x0000", "no status after the call"},
      {"4711 1.0 - viClose(2)= 0x00000000", "no status after the call"},
      {"4711 1.0 - \tviClose(2) = 0x00000000 VI_SUCCESS", "a control character in the line"},
      {"4711 1.0 - hello world", "no record this trace knows"},
  };
  for (const auto& [line, why] : refused) {
    trace_record r;
    const char* reason = nullptr;
    EXPECT_FALSE(trace_parse(line, r, &reason)) << line;
    EXPECT_STREQ(reason, why) << line;
  }
}

TEST(TraceParse, TakesResultsApart) {
  uint64_t value = 0;
  EXPECT_TRUE(trace_result_number("list=2 count=3 \"x count=9\"", "count", value));
  EXPECT_EQ(value, 3U);
  EXPECT_FALSE(trace_result_number("\"count=9\"", "count", value));
  uint8_t bytes[8];
  size_t length = 0;
  ASSERT_TRUE(trace_result_bytes("\"a\\x00\\n\\\"\" END", bytes, sizeof bytes, length));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes), length), std::string("a\0\n\"", 4));
  EXPECT_FALSE(trace_result_bytes("\"123456789\"", bytes, sizeof bytes, length)); // no room
  EXPECT_FALSE(trace_result_bytes("[200 bytes crc=0x00000000]", bytes, sizeof bytes, length));
}

} // namespace
