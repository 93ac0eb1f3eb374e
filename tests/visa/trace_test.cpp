#include "visa_fixture.h"

#include <numeric>
#include <trace.h>
#include <vector>

namespace {

ViStatus send(ViSession vi, const std::vector<ViByte>& data) {
  ViUInt32 sent = 0;
  return viWrite(vi, data.data(), static_cast<ViUInt32>(data.size()), &sent);
}

std::vector<ViByte> bytes(const std::string& text) { return {text.begin(), text.end()}; }

TEST_F(VisaTest, TraceShowsEveryCallAsItReturns) {
  configure("trace = " + trace_path() + "\ntimeout_scale = 0.001\n[GPIB0::17::INSTR]\n");
  ViSession rm = VI_NULL;
  ViSession vi = VI_NULL;
  ViSession none = VI_NULL;
  viOpenDefaultRM(&rm);
  viOpen(rm, test_resource, VI_NO_LOCK, 0, &vi);
  viOpen(rm, "GPIB0::18::INSTR", VI_NO_LOCK, 0, &none);
  viOpen(rm, nullptr, VI_NO_LOCK, 0, &none);
  viSetAttribute(vi, VI_ATTR_SEND_END_EN, VI_FALSE);
  viSetAttribute(vi, VI_ATTR_TMO_VALUE, 10000);
  viSetAttribute(vi, 0x3FFF0021, 5);
  viClear(vi);
  send(vi, bytes("XXC"));
  viSetAttribute(vi, VI_ATTR_SEND_END_EN, VI_TRUE);
  send(vi, bytes("MD?\n"));
  ViByte buffer[100];
  ViUInt32 count = 0;
  viRead(vi, buffer, 1, &count);
  viRead(vi, buffer, 100, &count);
  viRead(vi, buffer, 100, &count);
  std::vector<ViByte> all(256);
  std::iota(all.begin(), all.end(), 0);
  send(vi, all);
  viSetAttribute(vi, VI_ATTR_SEND_END_EN, VI_FALSE);
  send(vi, std::vector<ViByte>(101, 'A'));
  send(vi, bytes("a\"b\\c\t\r\n"));
  send(vi, {});
  viClose(vi);
  viClose(vi);
  viClose(rm);

  // Read while the library still holds the file: each line is out already.
  // The CRCs are those of zlib's crc32 over the same bytes.
  EXPECT_EQ(untimed(read_file(trace_path())), marked("viOpenDefaultRM() = 0x00000000 VI_SUCCESS rm=1\n"
                                            "viOpen(1, \"GPIB0::17::INSTR\", 0, 0) = 0x00000000 VI_SUCCESS vi=2\n"
                                            "viOpen(1, \"GPIB0::18::INSTR\", 0, 0) = 0xBFFF0011 VI_ERROR_RSRC_NFOUND\n"
                                            "viOpen(1, NULL, 0, 0) = 0xBFFF0012 VI_ERROR_INV_RSRC_NAME\n"
                                            "viSetAttribute(2, VI_ATTR_SEND_END_EN, 0) = 0x00000000 VI_SUCCESS\n"
                                            "viSetAttribute(2, VI_ATTR_TMO_VALUE, 10000) = 0x00000000 VI_SUCCESS\n"
                                            "viSetAttribute(2, 0x3FFF0021, 5) = 0xBFFF001D VI_ERROR_NSUP_ATTR\n"
                                            "viClear(2) = 0x00000000 VI_SUCCESS\n"
                                            "viWrite(2, \"XXC\", 3) = 0x00000000 VI_SUCCESS sent=3\n"
                                            "viSetAttribute(2, VI_ATTR_SEND_END_EN, 1) = 0x00000000 VI_SUCCESS\n"
                                            "viWrite(2, \"MD?\\n\" END, 4) = 0x00000000 VI_SUCCESS sent=4\n"
                                            "viRead(2, 1) = 0x3FFF0006 VI_SUCCESS_MAX_CNT \"2\"\n"
                                            "viRead(2, 100) = 0x00000000 VI_SUCCESS \"\\n\" END\n"
                                            "viRead(2, 100) = 0xBFFF0015 VI_ERROR_TMO\n"
                                            "viWrite(2, [256 bytes crc=0x29058C73] END, 256) = 0x00000000 VI_SUCCESS sent=256\n"
                                            "viSetAttribute(2, VI_ATTR_SEND_END_EN, 0) = 0x00000000 VI_SUCCESS\n"
                                            "viWrite(2, [101 bytes crc=0x4045F6AA], 101) = 0x00000000 VI_SUCCESS sent=101\n"
                                            "viWrite(2, \"a\\\"b\\\\c\\t\\r\\n\", 8) = 0x00000000 VI_SUCCESS sent=8\n"
                                            "viWrite(2, \"\", 0) = 0x00000000 VI_SUCCESS sent=0\n"
                                            "viClose(2) = 0x00000000 VI_SUCCESS\n"
                                            "viClose(2) = 0xBFFF000E VI_ERROR_INV_OBJECT\n"
                                            "viClose(1) = 0x00000000 VI_SUCCESS\n"));
  // Each line: the process id, the milliseconds since the session started
  // and the call's duration, to 0.1 ms; the session's first line says what
  // wrote it.
  const std::vector<std::string> raw = split_lines(read_file(trace_path()));
  ASSERT_FALSE(raw.empty());
  EXPECT_EQ(raw[0].rfind(std::to_string(getpid()) + " 0.0 - session kesvisa ", 0), 0U) << raw[0];
  EXPECT_NE(raw[0].find("Z config=\""), std::string::npos) << raw[0];
  EXPECT_TRUE(raw[0].ends_with("visa.conf\"")) << raw[0];
  for (size_t i = 1; i < raw.size(); ++i) {
    trace_record record;
    ASSERT_TRUE(trace_parse(raw[i], record, nullptr)) << raw[i];
    EXPECT_EQ(record.kind, trace_kind::call) << raw[i];
    EXPECT_EQ(record.pid, getpid()) << raw[i];
    EXPECT_GE(record.duration_us, 0) << raw[i];
    EXPECT_EQ(raw[i].find(" ", raw[i].find(" ", raw[i].find(" ") + 1) + 1) + 1, raw[i].find("vi")) << raw[i];
  }
}

TEST_F(VisaTest, TraceShowsFaultsAndTheEmptyReply) {
  configure("trace = " + trace_path() +
            "\n[GPIB0::17::INSTR]\nfault = reply XXCMD? 1\nfail = viOpen 0x3FFF0006\nfail = viClose 1 VI_ERROR_IO\n"
            "cable = 2\n");
  ViSession rm = VI_NULL;
  ViSession vi = VI_NULL;
  viOpenDefaultRM(&rm);
  EXPECT_EQ(viOpen(rm, test_resource, VI_NO_LOCK, 0, &vi), VI_SUCCESS_MAX_CNT);
  ViUInt32 sent = 0;
  viWrite(vi, reinterpret_cast<const ViByte*>("XXCMD?\n"), 7, &sent);
  ViByte buffer[100];
  viRead(vi, buffer, 100, &sent);
  viRead(vi, buffer, 100, &sent);
  viClose(vi);
  EXPECT_EQ(untimed(read_file(trace_path())), marked("viOpenDefaultRM() = 0x00000000 VI_SUCCESS rm=1\n"
                                            "viOpen(1, \"GPIB0::17::INSTR\", 0, 0) = 0x3FFF0006 VI_SUCCESS_MAX_CNT vi=2\n"
                                            "viWrite(2, \"XXCMD?\\n\" END, 7) = 0x00000000 VI_SUCCESS sent=7\n"
                                            "viRead(2, 100) = 0x00000000 VI_SUCCESS \"\" END\n"
                                            "viRead(2, 100) = 0xBFFF00A6 VI_ERROR_CONN_LOST\n"
                                            "viClose(2) = 0xBFFF003E VI_ERROR_IO\n"));
}

TEST_F(VisaTest, TraceShowsLookupsAttributesAndEvents) {
  configure("trace = " + trace_path() + "\n[GPIB0::17::INSTR]\n[GPIB0::5::INSTR]\n");
  ViSession rm = VI_NULL;
  ViSession vi = VI_NULL;
  viOpenDefaultRM(&rm);
  ViFindList list = VI_NULL;
  ViChar text[VI_FIND_BUFLEN];
  viFindRsrc(rm, "?*::INSTR", &list, nullptr, text);
  viFindNext(list, text);
  viFindNext(list, text);
  viClose(list);
  viFindRsrc(rm, "*", &list, nullptr, text);
  ViUInt16 type = 0;
  ViUInt16 board = 0;
  viParseRsrc(rm, "GPIB::17", &type, &board);
  viParseRsrcEx(rm, "gpib0::17::0", &type, &board, text, text + 100, text + 200);
  viOpen(rm, "GPIB::17", VI_NO_LOCK, 0, &vi);
  ViUInt32 timeout = 0;
  viGetAttribute(vi, VI_ATTR_TMO_VALUE, &timeout);
  viGetAttribute(vi, VI_ATTR_RSRC_NAME, text);
  viSetAttribute(vi, VI_ATTR_TERMCHAR_EN, VI_TRUE);
  viStatusDesc(vi, VI_ERROR_TMO, text);
  viDisableEvent(vi, VI_ALL_ENABLED_EVENTS, VI_ALL_MECH);
  viDiscardEvents(vi, VI_ALL_ENABLED_EVENTS, VI_ALL_MECH);
  viParseRsrcEx(rm, "gpib0::intfc", &type, &board, text, text + 100, text + 200);
  viGetAttribute(rm, VI_ATTR_RSRC_MANF_NAME, text);
  ViVersion version = 0;
  viGetAttribute(rm, VI_ATTR_RSRC_SPEC_VERSION, &version);
  ViSession locked = VI_NULL;
  viOpen(rm, test_resource, VI_EXCLUSIVE_LOCK, 0, &locked);
  viOpen(rm, test_resource, VI_EXCLUSIVE_LOCK, 0, &locked);
  viClear(vi);
  viClose(VI_NULL);
  EXPECT_EQ(untimed(read_file(trace_path())),
            marked("viOpenDefaultRM() = 0x00000000 VI_SUCCESS rm=1\n"
                   "viFindRsrc(1, \"?*::INSTR\") = 0x00000000 VI_SUCCESS list=2 count=2 \"GPIB0::17::INSTR\"\n"
                   "viFindNext(2) = 0x00000000 VI_SUCCESS \"GPIB0::5::INSTR\"\n"
                   "viFindNext(2) = 0xBFFF0011 VI_ERROR_RSRC_NFOUND\n"
                   "viClose(2) = 0x00000000 VI_SUCCESS\n"
                   "viFindRsrc(1, \"*\") = 0xBFFF0010 VI_ERROR_INV_EXPR\n"
                   "viParseRsrc(1, \"GPIB::17\") = 0x00000000 VI_SUCCESS type=1 board=0\n"
                   "viParseRsrcEx(1, \"gpib0::17::0\") = 0x00000000 VI_SUCCESS type=1 board=0 class=\"INSTR\" "
                   "name=\"GPIB0::17::0::INSTR\"\n"
                   "viOpen(1, \"GPIB::17\", 0, 0) = 0x00000000 VI_SUCCESS vi=3\n"
                   "viGetAttribute(3, VI_ATTR_TMO_VALUE) = 0x00000000 VI_SUCCESS 2000\n"
                   "viGetAttribute(3, VI_ATTR_RSRC_NAME) = 0x00000000 VI_SUCCESS \"GPIB0::17::INSTR\"\n"
                   "viSetAttribute(3, VI_ATTR_TERMCHAR_EN, 1) = 0x00000000 VI_SUCCESS\n"
                   "viStatusDesc(3, 0xBFFF0015) = 0x00000000 VI_SUCCESS\n"
                   "viDisableEvent(3, 0x3FFF7FFF, 65535) = 0x3FFF0003 VI_SUCCESS_EVENT_DIS\n"
                   "viDiscardEvents(3, 0x3FFF7FFF, 65535) = 0x3FFF0004 VI_SUCCESS_QUEUE_EMPTY\n"
                   "viParseRsrcEx(1, \"gpib0::intfc\") = 0x00000000 VI_SUCCESS type=1 board=0 class=\"INTFC\" "
                   "name=\"GPIB0::INTFC\"\n"
                   "viGetAttribute(1, VI_ATTR_RSRC_MANF_NAME) = 0x00000000 VI_SUCCESS \"kesload stand-in VISA\"\n"
                   "viGetAttribute(1, VI_ATTR_RSRC_SPEC_VERSION) = 0x00000000 VI_SUCCESS 0x00500800\n"
                   "viOpen(1, \"GPIB0::17::INSTR\", 1, 0) = 0x00000000 VI_SUCCESS vi=4\n"
                   "viOpen(1, \"GPIB0::17::INSTR\", 1, 0) = 0xBFFF000F VI_ERROR_RSRC_LOCKED\n"
                   "viClear(3) = 0xBFFF000F VI_ERROR_RSRC_LOCKED\n"
                   "viClose(0) = 0x3FFF0082 VI_WARN_NULL_OBJECT\n"));
}

} // namespace
