#include "visa_fixture.h"

#include <chrono>
#include <functional>

namespace {

const std::string query = "XXCMD?\n";

TEST_F(VisaTest, NthCallFaultsThatCallOnly) {
  using action = std::function<ViStatus(ViSession)>;
  const struct {
    const char* function;
    action call;
  } cases[] = {
      {"viWrite",
       [](ViSession vi) {
         const ViStatus s = write(vi, query, true);
         viClear(vi);
         return s;
       }},
      {"viRead",
       [](ViSession vi) {
         write(vi, query, true);
         const ViStatus s = read(vi).status;
         viClear(vi);
         return s;
       }},
      {"viClear", [](ViSession vi) { return viClear(vi); }},
      {"viClose",
       [](ViSession vi) {
         ViSession other = VI_NULL;
         viOpen(1, test_resource, VI_NO_LOCK, 0, &other);
         (void)vi;
         return viClose(other);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.function);
    configure_instrument(std::string("fail = ") + c.function + " 2 VI_ERROR_IO\n");
    const ViSession vi = open_instrument();
    // Calls count per instrument, over all of its sessions.
    EXPECT_EQ(c.call(vi), VI_SUCCESS);
    EXPECT_EQ(c.call(open_instrument()), VI_ERROR_IO);
    EXPECT_EQ(c.call(vi), VI_SUCCESS);
  }
}

TEST_F(VisaTest, FaultedCallsDoNothingElse) {
  configure("[GPIB0::17::INSTR]\n"
            "fail = viWrite 1 VI_ERROR_IO\n"
            "fail = viRead 2 VI_ERROR_TMO\n"
            "fail = viClear 1 VI_ERROR_IO\n"
            "fail = viClose 1 VI_ERROR_IO\n");
  const ViSession vi = open_instrument();
  ASSERT_EQ(viSetAttribute(vi, VI_ATTR_TMO_VALUE, 0), VI_SUCCESS);
  ViUInt32 sent = 99;
  EXPECT_EQ(viWrite(vi, reinterpret_cast<const ViByte*>(query.data()), 7, &sent), VI_ERROR_IO);
  EXPECT_EQ(sent, 0U);
  EXPECT_EQ(read(vi).status, VI_ERROR_TMO) << "the failed write reached the instrument";

  ASSERT_EQ(write(vi, query, true), VI_SUCCESS);
  EXPECT_EQ(viClear(vi), VI_ERROR_IO);
  ASSERT_EQ(viSetAttribute(vi, VI_ATTR_TMO_VALUE, 4000), VI_SUCCESS);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(read(vi).status, VI_ERROR_TMO);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2)) << "the failed read waited";
  EXPECT_EQ(read(vi).data, "2\n") << "the failed clear or read lost the reply";

  EXPECT_EQ(viClose(vi), VI_ERROR_IO);
  EXPECT_EQ(viClear(vi), VI_SUCCESS) << "the failed close closed the session";
}

TEST_F(VisaTest, OpenFaults) {
  const struct {
    const char* line;
    ViStatus first, second;
  } cases[] = {
      {"fail = viOpen VI_SUCCESS_MAX_CNT", VI_SUCCESS_MAX_CNT, VI_SUCCESS_MAX_CNT},
      {"fail = viOpen 0xBFFF0011", VI_ERROR_RSRC_NFOUND, VI_ERROR_RSRC_NFOUND},
      {"fail = viOpen 2 VI_ERROR_IO", VI_SUCCESS, VI_ERROR_IO},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    configure_instrument(std::string(c.line) + "\n");
    ViSession rm = VI_NULL;
    ASSERT_EQ(viOpenDefaultRM(&rm), VI_SUCCESS);
    for (const ViStatus expected : {c.first, c.second}) {
      ViSession vi = VI_NULL;
      EXPECT_EQ(viOpen(rm, test_resource, VI_NO_LOCK, 0, &vi), expected);
      // A warning opens the session; an error opens none.
      EXPECT_EQ(vi != VI_NULL, expected >= VI_SUCCESS);
      EXPECT_EQ(viClear(vi), expected >= VI_SUCCESS ? VI_SUCCESS : VI_ERROR_INV_OBJECT);
    }
  }
}

TEST_F(VisaTest, ResourceManagerFaults) {
  configure("fail = viOpenDefaultRM 1 VI_ERROR_SYSTEM_ERROR\n");
  ViSession rm = 77;
  EXPECT_EQ(viOpenDefaultRM(&rm), VI_ERROR_SYSTEM_ERROR);
  EXPECT_EQ(rm, VI_NULL);
  EXPECT_EQ(viOpenDefaultRM(&rm), VI_SUCCESS);
  EXPECT_EQ(rm, 1U);

  configure("fail = viOpenDefaultRM VI_SUCCESS_MAX_CNT\n");
  EXPECT_EQ(viOpenDefaultRM(&rm), VI_SUCCESS_MAX_CNT);
  EXPECT_EQ(rm, 1U);
}

TEST_F(VisaTest, StatusNotations) {
  for (const char* status : {"VI_ERROR_IO", "0xBFFF003E", "0xbfff003e", "-1073807298", "3221159998"}) {
    SCOPED_TRACE(status);
    configure_instrument(std::string("fail = viClear 1 ") + status + "\n");
    EXPECT_EQ(viClear(open_instrument()), VI_ERROR_IO);
  }
}

TEST_F(VisaTest, PulledCableLosesEveryLaterTransactionAtOnce) {
  configure("[GPIB0::17::INSTR]\ncable = 3\n");
  const ViSession vi = open_instrument();
  ASSERT_EQ(viSetAttribute(vi, VI_ATTR_TMO_VALUE, 60000), VI_SUCCESS);
  EXPECT_EQ(viClear(vi), VI_SUCCESS);
  EXPECT_EQ(write(vi, query, true), VI_SUCCESS);
  EXPECT_EQ(read(vi).data, "2\n");

  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(write(vi, query, true), VI_ERROR_CONN_LOST);
  const reply r = read(vi);
  EXPECT_EQ(r.status, VI_ERROR_CONN_LOST);
  EXPECT_EQ(r.data, "");
  EXPECT_EQ(viClear(vi), VI_ERROR_CONN_LOST);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << "a lost connection waited";
  EXPECT_EQ(viClose(vi), VI_SUCCESS);
}

} // namespace
