#include "visa_fixture.h"

#include <array>

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
  } cases[] = {
      {"GPIB0::17::INSTR", VI_SUCCESS},
      {"gpib0::017::Instr", VI_SUCCESS}, // case and leading zeros do not matter
      {"GPIB0::18::INSTR", VI_ERROR_RSRC_NFOUND},
      {"GPIB1::17::INSTR", VI_ERROR_RSRC_NFOUND},
      {"GPIB0::17", VI_ERROR_INV_RSRC_NAME},
      {"GPIB0::17::INSTR::", VI_ERROR_INV_RSRC_NAME},
      {"GPIB0::-1::INSTR", VI_ERROR_INV_RSRC_NAME},
      {"GPIB0::99999999999::INSTR", VI_ERROR_INV_RSRC_NAME},
      {"::17::INSTR", VI_ERROR_INV_RSRC_NAME},
      {"GPIB0::17::SOCKET", VI_ERROR_INV_RSRC_NAME},
      {nullptr, VI_ERROR_INV_RSRC_NAME},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name != nullptr ? c.name : "(null)");
    ViSession vi = 99;
    EXPECT_EQ(viOpen(rm, c.name, VI_NO_LOCK, 0, &vi), c.status);
    EXPECT_EQ(vi != VI_NULL, c.status == VI_SUCCESS);
  }
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
    EXPECT_EQ(viClose(bad), VI_ERROR_INV_OBJECT);
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
      {vi, 0x3FFF0018, 0, VI_ERROR_NSUP_ATTR},
      {1, VI_ATTR_TMO_VALUE, 10000, VI_ERROR_NSUP_ATTR},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.session << " " << std::hex << c.attr << " " << c.value);
    EXPECT_EQ(viSetAttribute(c.session, c.attr, c.value), c.status);
  }
}

} // namespace
