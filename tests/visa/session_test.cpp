#include "visa_fixture.h"

#include <array>
#include <cstring>
#include <vector>

namespace {

TEST_F(VisaTest, WithoutConfigurationNoInstrumentIsAttached) {
  ViSession rm = VI_NULL;
  ASSERT_EQ(viOpenDefaultRM(&rm), VI_SUCCESS);
  EXPECT_EQ(rm, 1U);
  ViSession vi = 99;
  EXPECT_EQ(viOpen(rm, test_resource, VI_NO_LOCK, 0, &vi), VI_ERROR_RSRC_NFOUND);
  EXPECT_EQ(vi, VI_NULL);
  EXPECT_EQ(kesvisa_instrument(test_resource), nullptr);
}

TEST_F(VisaTest, ResourceStrings) {
  configure_instrument();
  ViSession rm = VI_NULL;
  ASSERT_EQ(viOpenDefaultRM(&rm), VI_SUCCESS);
  const struct {
    const char* name;
    ViStatus status;
    const char* canonical; // as viParseRsrcEx expands it; null when the name is not one
    ViUInt16 board;
  } cases[] = {
      {"GPIB0::17::INSTR", VI_SUCCESS, "GPIB0::17::INSTR", 0},
      {"gpib0::017::Instr", VI_SUCCESS, "GPIB0::17::INSTR", 0}, // case and leading zeros do not matter
      {"GPIB::17::INSTR", VI_SUCCESS, "GPIB0::17::INSTR", 0},   // no board is board 0
      {"GPIB00::17", VI_SUCCESS, "GPIB0::17::INSTR", 0},
      {"GPIB0::17", VI_SUCCESS, "GPIB0::17::INSTR", 0},
      {"GPIB0::17::0::INSTR", VI_SUCCESS, "GPIB0::17::0::INSTR", 0}, // see SecondaryAddresses
      {"GPIB0::17::0", VI_SUCCESS, "GPIB0::17::0::INSTR", 0},
      {"GPIB0::17::5::INSTR", VI_ERROR_RSRC_NFOUND, "GPIB0::17::5::INSTR", 0},
      {"GPIB0::18::INSTR", VI_ERROR_RSRC_NFOUND, "GPIB0::18::INSTR", 0},
      {"GPIB1::17::INSTR", VI_ERROR_RSRC_NFOUND, "GPIB1::17::INSTR", 1},
      {"GPIB12::1", VI_ERROR_RSRC_NFOUND, "GPIB12::1::INSTR", 12},
      {"GPIB0::17::31::INSTR", VI_ERROR_INV_RSRC_NAME, nullptr, 0},
      {"GPIB0::17::0::0::INSTR", VI_ERROR_INV_RSRC_NAME, nullptr, 0},
      {"GPIB0", VI_ERROR_INV_RSRC_NAME, nullptr, 0},
      {"GPIB70000::17::INSTR", VI_ERROR_INV_RSRC_NAME, nullptr, 0},
      {"GPIB0::17::INSTR::", VI_ERROR_INV_RSRC_NAME, nullptr, 0},
      {"GPIB0::-1::INSTR", VI_ERROR_INV_RSRC_NAME, nullptr, 0},
      {"GPIB0::99999999999::INSTR", VI_ERROR_INV_RSRC_NAME, nullptr, 0},
      {"::17::INSTR", VI_ERROR_INV_RSRC_NAME, nullptr, 0},
      {"GPIB0::17::SOCKET", VI_ERROR_INV_RSRC_NAME, nullptr, 0},
      {nullptr, VI_ERROR_INV_RSRC_NAME, nullptr, 0},
      // Interfaces parse; the stand-in opens no session on one.
      {"gpib00::intfc", VI_ERROR_NIMPL_OPER, "GPIB0::INTFC", 0},
      {"GPIB::INTFC", VI_ERROR_NIMPL_OPER, "GPIB0::INTFC", 0},
      {"GPIB2::INTFC", VI_ERROR_RSRC_NFOUND, "GPIB2::INTFC", 2},
      {"GPIB0::INTFC::INSTR", VI_ERROR_INV_RSRC_NAME, nullptr, 0},
      {"GPIB0::17::INTFC", VI_ERROR_INV_RSRC_NAME, nullptr, 0},
      {"::INTFC", VI_ERROR_INV_RSRC_NAME, nullptr, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name != nullptr ? c.name : "(null)");
    ViSession vi = 99;
    EXPECT_EQ(viOpen(rm, c.name, VI_NO_LOCK, 0, &vi), c.status);
    EXPECT_EQ(vi != VI_NULL, c.status == VI_SUCCESS);

    const ViStatus parsed = c.canonical != nullptr ? VI_SUCCESS : VI_ERROR_INV_RSRC_NAME;
    ViUInt16 type = 0;
    ViUInt16 board = 99;
    EXPECT_EQ(viParseRsrc(rm, c.name, &type, &board), parsed);
    ViChar rsrc_class[VI_FIND_BUFLEN] = "x";
    ViChar expanded[VI_FIND_BUFLEN] = "x";
    ViChar alias[VI_FIND_BUFLEN] = "x";
    ASSERT_EQ(viParseRsrcEx(rm, c.name, &type, &board, rsrc_class, expanded, alias), parsed);
    if (c.canonical != nullptr) {
      EXPECT_EQ(type, VI_INTF_GPIB);
      EXPECT_EQ(board, c.board);
      EXPECT_STREQ(rsrc_class, std::string(c.canonical).ends_with("::INTFC") ? "INTFC" : "INSTR");
      EXPECT_STREQ(expanded, c.canonical);
      EXPECT_STREQ(alias, "");
    }
  }
}

TEST_F(VisaTest, SecondaryAddresses) {
  // Each section answers the mode query with its own mode. PyVISA 1.11
  // opens every GPIB name with secondary address 0.
  const struct {
    const char* sections;
    const char* name;
    const char* mode; // the reply, or null when nothing opens
  } cases[] = {
      {"[GPIB0::17::INSTR]\nmode = 1\n[GPIB0::17::2::INSTR]\nmode = 3\n", "GPIB0::17::2::INSTR", "3\n"},
      {"[GPIB0::17::INSTR]\nmode = 1\n[GPIB0::17::2::INSTR]\nmode = 3\n", "GPIB0::17::INSTR", "1\n"},
      {"[GPIB0::17::INSTR]\nmode = 1\n[GPIB0::17::2::INSTR]\nmode = 3\n", "GPIB::17::0", "1\n"},
      {"[GPIB0::17::INSTR]\nmode = 1\n[GPIB0::17::0::INSTR]\nmode = 3\n", "GPIB0::17::0::INSTR", "3\n"},
      {"[GPIB0::17::INSTR]\nmode = 1\n", "GPIB0::17::1::INSTR", nullptr},
      {"[GPIB0::17::2::INSTR]\n", "GPIB0::17::INSTR", nullptr},
      {"[GPIB0::17::2::INSTR]\n", "GPIB0::17::0::INSTR", nullptr},
      {"[GPIB1::17::INSTR]\n", "GPIB0::17::0::INSTR", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.sections) + c.name);
    configure(std::string("timeout_scale = 0.001\n") + c.sections);
    ViSession rm = VI_NULL;
    ASSERT_EQ(viOpenDefaultRM(&rm), VI_SUCCESS);
    ViSession vi = VI_NULL;
    ASSERT_EQ(viOpen(rm, c.name, VI_NO_LOCK, 0, &vi), c.mode != nullptr ? VI_SUCCESS : VI_ERROR_RSRC_NFOUND);
    EXPECT_EQ(kesvisa_instrument(c.name) != nullptr, c.mode != nullptr);
    if (c.mode != nullptr) {
      ASSERT_EQ(write(vi, "XXCMD?\n", true), VI_SUCCESS);
      EXPECT_EQ(read(vi).data, c.mode);
    }
  }
}

TEST_F(VisaTest, FindResources) {
  configure_instrument("", "[GPIB1::5::INSTR]\n[GPIB0::17::2::INSTR]\n");
  ViSession rm = VI_NULL;
  ASSERT_EQ(viOpenDefaultRM(&rm), VI_SUCCESS);
  using names = std::vector<std::string>;
  const struct {
    const char* expression;
    ViStatus status;
    names found; // the instruments in the configuration's order, then the interfaces in board order
  } cases[] = {
      {"?*::INSTR", VI_SUCCESS, {"GPIB1::5::INSTR", "GPIB0::17::2::INSTR", "GPIB0::17::INSTR"}},
      {"?*INSTR", VI_SUCCESS, {"GPIB1::5::INSTR", "GPIB0::17::2::INSTR", "GPIB0::17::INSTR"}},
      {"?*",
       VI_SUCCESS,
       {"GPIB1::5::INSTR", "GPIB0::17::2::INSTR", "GPIB0::17::INSTR", "GPIB0::INTFC", "GPIB1::INTFC"}},
      {"?*INTFC", VI_SUCCESS, {"GPIB0::INTFC", "GPIB1::INTFC"}},
      {"GPIB1::INTFC", VI_SUCCESS, {"GPIB1::INTFC"}},
      {"gpib0::?*", VI_SUCCESS, {"GPIB0::17::2::INSTR", "GPIB0::17::INSTR", "GPIB0::INTFC"}},
      {"GPIB[0-9]::5::INSTR", VI_SUCCESS, {"GPIB1::5::INSTR"}},
      {"GPIB[^0]?*", VI_SUCCESS, {"GPIB1::5::INSTR", "GPIB1::INTFC"}},
      {"GPIB0::1*7::INSTR", VI_SUCCESS, {"GPIB0::17::INSTR"}}, // '*' repeats the 1: no glob
      {"GPIB0::17(::2)+::INSTR", VI_SUCCESS, {"GPIB0::17::2::INSTR"}},
      {"GPIB1?*|?*::17::INSTR", VI_SUCCESS, {"GPIB1::5::INSTR", "GPIB0::17::INSTR", "GPIB1::INTFC"}},
      {"GPIB2::INTFC", VI_ERROR_RSRC_NFOUND, {}},
      {"GPIB\\?*", VI_ERROR_RSRC_NFOUND, {}},
      {"G*::?*", VI_ERROR_RSRC_NFOUND, {}},
      {"?*::18::INSTR", VI_ERROR_RSRC_NFOUND, {}},
      {"*::INSTR", VI_ERROR_INV_EXPR, {}},
      {"GPIB[0::?*", VI_ERROR_INV_EXPR, {}},
      {"(GPIB?*", VI_ERROR_INV_EXPR, {}},
      {"?*INSTR{VI_ATTR_GPIB_PRIMARY_ADDR==17}", VI_ERROR_INV_EXPR, {}},
      {"", VI_ERROR_INV_EXPR, {}},
      {nullptr, VI_ERROR_INV_EXPR, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expression != nullptr ? c.expression : "(null)");
    ViFindList list = 99;
    ViUInt32 count = 99;
    ViChar desc[VI_FIND_BUFLEN] = "x";
    ASSERT_EQ(viFindRsrc(rm, c.expression, &list, &count, desc), c.status);
    names found;
    if (c.status == VI_SUCCESS) {
      found.emplace_back(desc);
      while (viFindNext(list, desc) == VI_SUCCESS) {
        found.emplace_back(desc);
      }
      EXPECT_EQ(viClose(list), VI_SUCCESS);
      EXPECT_EQ(viFindNext(list, desc), VI_ERROR_INV_OBJECT);
    } else {
      EXPECT_EQ(list, VI_NULL);
    }
    EXPECT_EQ(count, found.size());
    EXPECT_EQ(found, c.found);
  }
  ViChar desc[VI_FIND_BUFLEN];
  const ViSession vi = open_instrument();
  EXPECT_EQ(viFindRsrc(vi, "?*", nullptr, nullptr, desc), VI_ERROR_INV_OBJECT);
  EXPECT_EQ(viFindRsrc(rm, "?*", nullptr, nullptr, desc), VI_SUCCESS) << "the list need not be kept";

  configure("");
  ASSERT_EQ(viOpenDefaultRM(&rm), VI_SUCCESS);
  EXPECT_EQ(viFindRsrc(rm, "?*::INSTR", nullptr, nullptr, desc), VI_ERROR_RSRC_NFOUND);
}

TEST_F(VisaTest, RefusedSessionsAndArguments) {
  configure_instrument();
  const ViSession vi = open_instrument();
  ASSERT_EQ(viClose(vi), VI_SUCCESS);
  ViByte buffer[8] = {};
  ViUInt32 count = 0;
  for (const ViSession bad : {ViSession{VI_NULL}, ViSession{999}, vi}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(viWrite(bad, buffer, 1, &count), VI_ERROR_INV_OBJECT);
    EXPECT_EQ(viRead(bad, buffer, sizeof buffer, &count), VI_ERROR_INV_OBJECT);
    EXPECT_EQ(viClear(bad), VI_ERROR_INV_OBJECT);
    EXPECT_EQ(viSetAttribute(bad, VI_ATTR_TMO_VALUE, 10), VI_ERROR_INV_OBJECT);
    ViUInt32 timeout = 0;
    EXPECT_EQ(viGetAttribute(bad, VI_ATTR_TMO_VALUE, &timeout), VI_ERROR_INV_OBJECT);
    EXPECT_EQ(viDisableEvent(bad, VI_ALL_ENABLED_EVENTS, VI_ALL_MECH), VI_ERROR_INV_OBJECT);
    ViChar desc[VI_FIND_BUFLEN];
    EXPECT_EQ(viFindNext(bad, desc), VI_ERROR_INV_OBJECT);
    // Closing VI_NULL is only a warning, as in VISA.
    EXPECT_EQ(viClose(bad), bad == VI_NULL ? VI_WARN_NULL_OBJECT : VI_ERROR_INV_OBJECT);
    ViSession out = VI_NULL;
    EXPECT_EQ(viOpen(bad, test_resource, VI_NO_LOCK, 0, &out), VI_ERROR_INV_OBJECT);
  }
  // An instrument session is no resource manager, nor the other way round.
  const ViSession other = open_instrument();
  ViSession out = VI_NULL;
  EXPECT_EQ(viOpen(other, test_resource, VI_NO_LOCK, 0, &out), VI_ERROR_INV_OBJECT);
  EXPECT_EQ(viWrite(1, buffer, 1, &count), VI_ERROR_NSUP_OPER);
  EXPECT_EQ(viRead(1, buffer, 1, &count), VI_ERROR_NSUP_OPER);
  EXPECT_EQ(viClear(1), VI_ERROR_NSUP_OPER);

  // Missing buffers.
  count = 7;
  EXPECT_EQ(viWrite(other, nullptr, 5, &count), VI_ERROR_USER_BUF);
  EXPECT_EQ(count, 0U);
  EXPECT_EQ(viRead(other, nullptr, 5, &count), VI_ERROR_USER_BUF);
  EXPECT_EQ(viOpenDefaultRM(nullptr), VI_ERROR_USER_BUF);
  EXPECT_EQ(viOpen(1, test_resource, VI_NO_LOCK, 0, nullptr), VI_ERROR_USER_BUF);
}

TEST_F(VisaTest, SessionsAreNumberedPerLoadAndCloseWithTheirResourceManager) {
  configure_instrument();
  ViSession rm = VI_NULL;
  ASSERT_EQ(viOpenDefaultRM(&rm), VI_SUCCESS);
  std::array<ViSession, 2> vi{};
  ASSERT_EQ(viOpen(rm, test_resource, VI_NO_LOCK, 0, &vi[0]), VI_SUCCESS);
  ASSERT_EQ(viOpen(rm, test_resource, VI_NO_LOCK, 0, &vi[1]), VI_SUCCESS);
  EXPECT_EQ(rm, 1U);
  EXPECT_EQ(vi[0], 2U);
  EXPECT_EQ(vi[1], 3U);
  ViSession again = VI_NULL;
  EXPECT_EQ(viOpenDefaultRM(&again), VI_SUCCESS);
  EXPECT_EQ(again, rm);

  EXPECT_EQ(viClose(rm), VI_SUCCESS);
  EXPECT_EQ(viClear(vi[0]), VI_ERROR_INV_OBJECT);
  EXPECT_EQ(viClear(vi[1]), VI_ERROR_INV_OBJECT);

  kesvisa_reset();
  ASSERT_EQ(viOpenDefaultRM(&rm), VI_SUCCESS);
  EXPECT_EQ(rm, 1U);
  EXPECT_NE(kesvisa_instrument("gpib0::17::instr"), nullptr);
}

// While a session holds the exclusive lock, every other session of the
// instrument stays off the bus; it may still get attributes and set its own.
TEST_F(VisaTest, ExclusiveLockKeepsOtherSessionsOut) {
  const struct {
    const char* name;
    const char* section;
  } rows[] = {
      {"an instrument of this process", ""},
      {"an instrument with a state file", "state = bench.state\n"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    configure_instrument(std::string(r.section) + "restart_ms = 0\n");
    ViSession rm = VI_NULL;
    ASSERT_EQ(viOpenDefaultRM(&rm), VI_SUCCESS);
    ViSession holder = VI_NULL;
    ASSERT_EQ(viOpen(rm, test_resource, VI_EXCLUSIVE_LOCK, 0, &holder), VI_SUCCESS);
    ViSession refused = 99;
    EXPECT_EQ(viOpen(rm, "GPIB::17", VI_EXCLUSIVE_LOCK | VI_LOAD_CONFIG, 0, &refused), VI_ERROR_RSRC_LOCKED);
    EXPECT_EQ(refused, VI_NULL);
    ViSession other = VI_NULL;
    ASSERT_EQ(viOpen(rm, test_resource, VI_NO_LOCK, 0, &other), VI_SUCCESS);

    expect_kept_out(other);
    ASSERT_EQ(write(holder, "XXCMD?\n", true), VI_SUCCESS);
    const reply refused_read = read(other);
    EXPECT_EQ(refused_read.status, VI_ERROR_RSRC_LOCKED);
    EXPECT_EQ(refused_read.data, "");
    EXPECT_EQ(read(holder).data, "2\n") << "the reply waited for the holder";
    EXPECT_EQ(viSetAttribute(other, VI_ATTR_TMO_VALUE, 0), VI_SUCCESS) << "a session's own attribute";
    for (const ViSession vi : {holder, other}) {
      ViAccessMode state = 99;
      EXPECT_EQ(viGetAttribute(vi, VI_ATTR_RSRC_LOCK_STATE, &state), VI_SUCCESS);
      EXPECT_EQ(state, VI_EXCLUSIVE_LOCK) << "the resource's state, seen by session " << vi;
    }

    EXPECT_EQ(viClose(holder), VI_SUCCESS);
    ViAccessMode state = 99;
    EXPECT_EQ(viGetAttribute(other, VI_ATTR_RSRC_LOCK_STATE, &state), VI_SUCCESS);
    EXPECT_EQ(state, VI_NO_LOCK);
    ASSERT_EQ(write(other, "XXCMD?\n", true), VI_SUCCESS);
    EXPECT_EQ(read(other).data, "2\n");

    // Closing the resource manager lets go of the lock of its sessions.
    ASSERT_EQ(viOpen(rm, test_resource, VI_EXCLUSIVE_LOCK, 0, &holder), VI_SUCCESS);
    ASSERT_EQ(viClose(rm), VI_SUCCESS);
    ASSERT_EQ(viOpenDefaultRM(&rm), VI_SUCCESS);
    EXPECT_EQ(viOpen(rm, test_resource, VI_EXCLUSIVE_LOCK, 0, &holder), VI_SUCCESS);
  }
}

TEST_F(VisaTest, AccessModes) {
  configure_instrument();
  ViSession rm = VI_NULL;
  ASSERT_EQ(viOpenDefaultRM(&rm), VI_SUCCESS);
  const struct {
    ViAccessMode mode;
    ViStatus status;
  } cases[] = {
      {VI_NO_LOCK, VI_SUCCESS},
      {VI_LOAD_CONFIG, VI_SUCCESS}, // nothing to load: no attribute lasts beyond its session
      {VI_EXCLUSIVE_LOCK, VI_SUCCESS},
      {VI_EXCLUSIVE_LOCK | VI_LOAD_CONFIG, VI_SUCCESS},
      {VI_SHARED_LOCK, VI_ERROR_INV_ACC_MODE}, // viLock's, not viOpen's
      {VI_EXCLUSIVE_LOCK | VI_SHARED_LOCK, VI_ERROR_INV_ACC_MODE},
      {8, VI_ERROR_INV_ACC_MODE},
      {0xFFFFFFFF, VI_ERROR_INV_ACC_MODE},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mode);
    ViSession vi = 99;
    EXPECT_EQ(viOpen(rm, test_resource, c.mode, 0, &vi), c.status);
    EXPECT_EQ(vi != VI_NULL, c.status == VI_SUCCESS);
    viClose(vi);
  }
}

TEST_F(VisaTest, Attributes) {
  configure_instrument();
  const ViSession vi = open_instrument();
  const struct {
    ViObject session;
    ViAttr attr;
    ViAttrState value;
    ViStatus status;
  } cases[] = {
      {vi, VI_ATTR_SEND_END_EN, 1, VI_SUCCESS},
      {vi, VI_ATTR_SEND_END_EN, 2, VI_ERROR_NSUP_ATTR_STATE},
      {vi, VI_ATTR_TMO_VALUE, 0xFFFFFFFFULL, VI_SUCCESS},
      {vi, VI_ATTR_TMO_VALUE, 0x100000000ULL, VI_ERROR_NSUP_ATTR_STATE},
      {vi, VI_ATTR_TERMCHAR, 255, VI_SUCCESS},
      {vi, VI_ATTR_TERMCHAR, 256, VI_ERROR_NSUP_ATTR_STATE},
      {vi, VI_ATTR_TERMCHAR_EN, 1, VI_SUCCESS},
      {vi, VI_ATTR_TERMCHAR_EN, 2, VI_ERROR_NSUP_ATTR_STATE},
      {vi, VI_ATTR_RSRC_NAME, 0, VI_ERROR_ATTR_READONLY},
      {vi, VI_ATTR_GPIB_PRIMARY_ADDR, 5, VI_ERROR_ATTR_READONLY},
      {vi, 0x3FFF0021, 0, VI_ERROR_NSUP_ATTR},
      {vi, VI_ATTR_RSRC_LOCK_STATE, VI_EXCLUSIVE_LOCK, VI_ERROR_ATTR_READONLY},
      {vi, VI_ATTR_RSRC_SPEC_VERSION, 0, VI_ERROR_ATTR_READONLY},
      {vi, VI_ATTR_RSRC_MANF_ID, 0, VI_ERROR_NSUP_ATTR},
      {1, VI_ATTR_TMO_VALUE, 10000, VI_ERROR_NSUP_ATTR},
      {1, VI_ATTR_RSRC_MANF_NAME, 0, VI_ERROR_ATTR_READONLY},
      {1, VI_ATTR_RSRC_IMPL_VERSION, 0, VI_ERROR_ATTR_READONLY},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.session << " " << std::hex << c.attr << " " << c.value);
    EXPECT_EQ(viSetAttribute(c.session, c.attr, c.value), c.status);
  }
}

TEST_F(VisaTest, AttributesReadBackInTheirOwnWidth) {
  configure_instrument("", "[GPIB3::4::9::INSTR]\n");
  ViSession rm = VI_NULL;
  ASSERT_EQ(viOpenDefaultRM(&rm), VI_SUCCESS);
  ViSession vi = VI_NULL;
  ASSERT_EQ(viOpen(rm, "gpib3::4::9", VI_NO_LOCK, 0, &vi), VI_SUCCESS);
  ASSERT_EQ(viSetAttribute(vi, VI_ATTR_TERMCHAR, 0x0D), VI_SUCCESS);
  ViFindList list = VI_NULL;
  ViChar found[VI_FIND_BUFLEN];
  ASSERT_EQ(viFindRsrc(rm, "?*", &list, nullptr, found), VI_SUCCESS);
  // The library's identity: its own name, the project's version, and the
  // revision of the VISA specification it follows (5.8), as ViVersions.
  const uint64_t version = KESLOAD_VERSION_MAJOR << 20 | KESLOAD_VERSION_MINOR << 8 | KESLOAD_VERSION_PATCH;
  const struct {
    ViObject session;
    ViAttr attr;
    ViStatus status;
    size_t width; // bytes written; 0 for a string
    uint64_t number;
    const char* text;
  } cases[] = {
      {vi, VI_ATTR_TMO_VALUE, VI_SUCCESS, 4, 2000, nullptr},
      {vi, VI_ATTR_SEND_END_EN, VI_SUCCESS, 2, VI_TRUE, nullptr},
      {vi, VI_ATTR_TERMCHAR, VI_SUCCESS, 1, 0x0D, nullptr},
      {vi, VI_ATTR_TERMCHAR_EN, VI_SUCCESS, 2, VI_FALSE, nullptr},
      {vi, VI_ATTR_INTF_TYPE, VI_SUCCESS, 2, VI_INTF_GPIB, nullptr},
      {vi, VI_ATTR_INTF_NUM, VI_SUCCESS, 2, 3, nullptr},
      {vi, VI_ATTR_GPIB_PRIMARY_ADDR, VI_SUCCESS, 2, 4, nullptr},
      {vi, VI_ATTR_GPIB_SECONDARY_ADDR, VI_SUCCESS, 2, 9, nullptr},
      {vi, VI_ATTR_RM_SESSION, VI_SUCCESS, 4, rm, nullptr},
      {vi, VI_ATTR_RSRC_NAME, VI_SUCCESS, 0, 0, "GPIB3::4::9::INSTR"},
      {vi, VI_ATTR_RSRC_CLASS, VI_SUCCESS, 0, 0, "INSTR"},
      {vi, VI_ATTR_RSRC_LOCK_STATE, VI_SUCCESS, 4, VI_NO_LOCK, nullptr},
      {vi, 0x3FFF0021, VI_ERROR_NSUP_ATTR, 0, 0, nullptr},
      {rm, VI_ATTR_TMO_VALUE, VI_ERROR_NSUP_ATTR, 0, 0, nullptr},
      {rm, VI_ATTR_RSRC_MANF_NAME, VI_SUCCESS, 0, 0, "kesload stand-in VISA"},
      {vi, VI_ATTR_RSRC_MANF_NAME, VI_SUCCESS, 0, 0, "kesload stand-in VISA"},
      {rm, VI_ATTR_RSRC_IMPL_VERSION, VI_SUCCESS, 4, version, nullptr},
      {vi, VI_ATTR_RSRC_IMPL_VERSION, VI_SUCCESS, 4, version, nullptr},
      {rm, VI_ATTR_RSRC_SPEC_VERSION, VI_SUCCESS, 4, 0x00500800, nullptr},
      {vi, VI_ATTR_RSRC_SPEC_VERSION, VI_SUCCESS, 4, 0x00500800, nullptr},
      {rm, VI_ATTR_RSRC_MANF_ID, VI_ERROR_NSUP_ATTR, 0, 0, nullptr}, // no vendor number of its own
      {vi, VI_ATTR_RSRC_MANF_ID, VI_ERROR_NSUP_ATTR, 0, 0, nullptr},
      {list, VI_ATTR_RSRC_MANF_NAME, VI_ERROR_NSUP_ATTR, 0, 0, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.session << " " << std::hex << c.attr);
    unsigned char out[VI_FIND_BUFLEN];
    std::memset(out, 0xA5, sizeof out);
    ASSERT_EQ(viGetAttribute(c.session, c.attr, out), c.status);
    if (c.text != nullptr) {
      EXPECT_STREQ(reinterpret_cast<const char*>(out), c.text);
    } else if (c.status == VI_SUCCESS) {
      uint64_t number = 0;
      std::memcpy(&number, out, c.width); // little-endian host
      EXPECT_EQ(number, c.number);
      EXPECT_EQ(out[c.width], 0xA5) << "wider than the attribute's type";
    }
  }
  EXPECT_EQ(viGetAttribute(vi, VI_ATTR_TMO_VALUE, nullptr), VI_ERROR_USER_BUF);
}

TEST_F(VisaTest, EventsAndStatusTexts) {
  configure_instrument();
  const ViSession vi = open_instrument();
  const struct {
    ViSession session;
    ViEventType event;
    ViUInt16 mechanism;
    ViStatus disable, discard;
  } events[] = {
      {vi, VI_ALL_ENABLED_EVENTS, VI_ALL_MECH, VI_SUCCESS_EVENT_DIS, VI_SUCCESS_QUEUE_EMPTY},
      {vi, VI_EVENT_SERVICE_REQ, VI_QUEUE, VI_SUCCESS_EVENT_DIS, VI_SUCCESS_QUEUE_EMPTY},
      {1, VI_ALL_ENABLED_EVENTS, VI_ALL_MECH, VI_SUCCESS_EVENT_DIS, VI_SUCCESS_QUEUE_EMPTY},
      {vi, 0x3FFF2099, VI_QUEUE, VI_ERROR_INV_EVENT, VI_ERROR_INV_EVENT},
      {vi, VI_ALL_ENABLED_EVENTS, 0, VI_ERROR_INV_MECH, VI_ERROR_INV_MECH},
  };
  for (const auto& e : events) {
    SCOPED_TRACE(testing::Message() << e.session << " " << std::hex << e.event << " " << e.mechanism);
    EXPECT_EQ(viDisableEvent(e.session, e.event, e.mechanism), e.disable);
    EXPECT_EQ(viDiscardEvents(e.session, e.event, e.mechanism), e.discard);
  }
  const struct {
    ViStatus status;
    ViStatus result;
    const char* text;
  } texts[] = {
      {VI_ERROR_TMO, VI_SUCCESS, "VI_ERROR_TMO: The timeout expired"},
      {VI_SUCCESS_TERM_CHAR, VI_SUCCESS, "VI_SUCCESS_TERM_CHAR: "},
      {VI_WARN_NULL_OBJECT, VI_SUCCESS, "VI_WARN_NULL_OBJECT: "},
      {0x12345678, VI_WARN_UNKNOWN_STATUS, "Unknown status 0x12345678."},
  };
  for (const auto& t : texts) {
    ViChar desc[VI_FIND_BUFLEN] = {};
    EXPECT_EQ(viStatusDesc(vi, t.status, desc), t.result);
    EXPECT_EQ(std::string(desc).rfind(t.text, 0), 0U) << desc;
  }
  EXPECT_EQ(viStatusDesc(vi, VI_SUCCESS, nullptr), VI_ERROR_USER_BUF);
}

} // namespace
