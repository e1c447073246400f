#include "services/common/service.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "core/settings.h"

namespace {

int ParseLine(std::vector<std::string> args, ServiceOptions *pOpt) {
  std::vector<char *> argv;
  static char szProg[] = "svc";
  argv.push_back(szProg);
  for (auto &s : args) argv.push_back(s.data());
  return ServiceParseArgs(static_cast<int>(argv.size()), argv.data(), "svc", 1000, pOpt, nullptr, nullptr);
}

TEST(ServiceArgsTest, DataFolderAndLimits) {
  setenv("SVC_TEST_HOME", "/tmp/svc-home", 1);
  unsetenv("SVC_TEST_UNSET");
  static const struct {
    std::vector<std::string> args;
    int nWant;
    const char *szDataDir;
    int nTimeout;
    uint64_t nMax;
  } kCases[] = {
      {{"-E=SVC_TEST_HOME"}, 0, "/tmp/svc-home/TORV/", 10000, 1000},
      {{"-Z=/srv/data"}, 0, "/srv/data/", 10000, 1000},
      {{"-Z=/srv/data/", "-T=250", "-K=77"}, 0, "/srv/data/", 250, 77},
      {{"-E=SVC_TEST_UNSET"}, 2, "", 0, 0},        // variable not set
      {{}, 2, "", 0, 0},                            // no data folder at all
      {{"-Z=/d", "-T=5"}, 2, "", 0, 0},              // below the smallest bound
      {{"-Z=/d", "-K=12x"}, 2, "", 0, 0},            // not a number
      {{"-Z=/d", "plain"}, 2, "", 0, 0},             // not a switch
      {{"-Z=" + std::string(300, 'a')}, 2, "", 0, 0},  // path too long for the folder
  };
  for (const auto &c : kCases) {
    ServiceOptions opt{};
    int nRc = ParseLine(c.args, &opt);
    EXPECT_EQ(nRc, c.nWant) << (c.args.empty() ? "(none)" : c.args[0]);
    if (nRc == 0) {
      EXPECT_STREQ(g_szDataDir.c_str(), c.szDataDir);
      EXPECT_EQ(opt.nRecvTimeoutMs, c.nTimeout);
      EXPECT_EQ(opt.nMaxFileSize, c.nMax);
      EXPECT_EQ(std::string(g_szLogDir.c_str()), std::string(c.szDataDir) + "svclog");
    }
  }
}

TEST(ServiceArgsTest, RequestFileAndLogText) {
  PathText path;
  EXPECT_EQ(ServiceRequestFile("/a/b.dat\t3", &path), 1);
  EXPECT_STREQ(path.c_str(), "/a/b.dat");
  EXPECT_EQ(ServiceRequestFile("\t3", &path), 0);
  std::string sLong(kPathSize, 'x');
  EXPECT_EQ(ServiceRequestFile(sLong.c_str(), &path), 0);  // a cut path names another file

  char szOut[8];
  ServiceLogText("a\tb\r\nc", szOut, sizeof szOut);
  EXPECT_STREQ(szOut, "a?b??c");
  ServiceLogText("0123456789", szOut, sizeof szOut);
  EXPECT_STREQ(szOut, "0123456");
}

}  // namespace
