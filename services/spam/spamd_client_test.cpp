// The spam classifier: reply and address parsing, then the built ruvospam
// program against a spamd started here on loopback, asked through the
// proxy's own client (ScanSpamFile).
#include "services/spam/spamd_client.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "core/settings.h"
#include "inspect/scan_client.h"
#include "platform/plat_socket.h"
#include "services/service_test_support.h"

namespace {

namespace fs = std::filesystem;
using svctest::ReadFile;
using svctest::WriteFile;

TEST(SpamdClientTest, ParseAddress) {
  static const struct {
    const char *szText;
    int nWant;
    const char *szPath;
    const char *szHost;
    int nPort;
  } kCases[] = {
      {"127.0.0.1:783", 1, "", "127.0.0.1", 783},
      {"127.0.0.1", 1, "", "127.0.0.1", 783},
      {"[::1]:10783", 1, "", "::1", 10783},
      {"::1", 1, "", "::1", 783},
      {"/run/spamd.sock", 1, "/run/spamd.sock", "", 783},
      {"127.0.0.1:0", 0, "", "", 0},
      {"127.0.0.1:70000", 0, "", "", 0},
      {"127.0.0.1:x", 0, "", "", 0},
      {"[::1", 0, "", "", 0},
      {":783", 0, "", "", 0},
  };
  for (const auto &c : kCases) {
    SpamdAddress a;
    int nRc = SpamdParseAddress(c.szText, &a);
    EXPECT_EQ(nRc, c.nWant) << c.szText;
    if (nRc == 1) {
      EXPECT_STREQ(a.mPath.c_str(), c.szPath);
      EXPECT_STREQ(a.mHost.c_str(), c.szHost);
      EXPECT_EQ(a.nPort, c.nPort);
    }
  }
  // A socket path that does not fit is refused, not cut.
  SpamdAddress a;
  EXPECT_EQ(SpamdParseAddress(("/" + std::string(120, 's')).c_str(), &a), 0);
}

TEST(SpamdClientTest, ParseReply) {
  static const struct {
    const char *szReply;
    int nWant;
    int bSpam;
    const char *szScore;
    const char *szRules;
  } kCases[] = {
      {"SPAMD/1.1 0 EX_OK\r\nContent-length: 14\r\nSpam: True ; 1003.3 / 5.0\r\n\r\nGTUBE,NO_RELAYS", 1, 1,
       "1003.3/5.0", "GTUBE,NO_RELAYS"},
      {"SPAMD/1.1 0 EX_OK\r\nSpam: False ; 4.2 / 5.0\r\nContent-length: 12\r\n\r\nMISSING_DATE\r\n", 1, 0,
       "4.2/5.0", "MISSING_DATE"},
      {"SPAMD/1.1 0 EX_OK\r\nspam: yes ; 6 / 5\r\n\r\n", 1, 1, "6/5", ""},
      {"SPAMD/1.0 76 Bad header line: x\r\n\r\n", -1, 0, "", ""},   // spamd refused the request
      {"SPAMD/1.1 0 EX_OK\r\nContent-length: 0\r\n\r\n", -1, 0, "", ""},  // no verdict
      {"SPAMD/1.1 0 EX_OK\r\nSpam: True ; 9 / 5\r\n", -1, 0, "", ""},     // cut short
      {"HTTP/1.0 200 OK\r\n\r\n", -1, 0, "", ""},
      {"", -1, 0, "", ""},
  };
  for (const auto &c : kCases) {
    SpamdVerdict v;
    char szWhy[128] = "";
    int nRc = SpamdParseReply(c.szReply, static_cast<int>(strlen(c.szReply)), &v, szWhy, sizeof szWhy);
    EXPECT_EQ(nRc, c.nWant) << c.szReply;
    if (nRc == 1) {
      EXPECT_EQ(v.bSpam, c.bSpam) << c.szReply;
      EXPECT_STREQ(v.mScore.c_str(), c.szScore);
      EXPECT_STREQ(v.mRules.c_str(), c.szRules);
    } else {
      EXPECT_NE(szWhy[0], '\0');
    }
  }
}

using testsupport::FreePort;

const char *kGtube = "XJS*C4JDBQADN1.NSBN3*2IDNEN*GTUBE-STANDARD-ANTI-UBE-TEST-EMAIL*C.34X";

std::string g_root, g_data, g_sSkip;
svctest::RunningService g_spamd, g_svc;
bool g_bReady = false;

class SpamServiceTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string bin = svctest::ProgramDir() + "/ruvospam";
    if (!PlatFileExists("/usr/sbin/spamd") || !PlatFileExists(bin.c_str())) {
      g_sSkip = "spamd or ruvospam missing";
      return;
    }
    g_root = svctest::TempDir("spamt");
    g_data = g_root + "/data";
    int nPort = FreePort();
    ASSERT_NE(nPort, 0);
    std::string port = std::to_string(nPort);
    // Local tests only (-L: no network lookups), no per-user settings, the
    // rules Debian ships; no rule update is needed or tried.
    std::vector<std::string> spamd = {"/usr/sbin/spamd", "-L", "-x", "-i", "127.0.0.1", "-p", port,
                                      "--min-children=1", "--max-children=2", "-s", "stderr",
                                      "-r", g_root + "/spamd.pid"};
    std::vector<const char *> argv;
    for (auto &a : spamd) argv.push_back(a.c_str());
    argv.push_back(nullptr);
    g_spamd.logFile = g_root + "/spamd.log";
    ASSERT_EQ(PlatSpawn(argv.data(), g_spamd.logFile.c_str(), &g_spamd.nPid), 1);
    // ruvospam itself waits (-Q) until spamd answers.
    int nExit = 0;
    int rc = svctest::StartService({bin, "-Z=" + g_data, "-S=127.0.0.1:" + port, "-Q=60000", "-K=4000"},
                                   g_root + "/svc.log", g_data + "/pipe/ruvospam", 70000, &g_svc, &nExit);
    ASSERT_EQ(rc, 1) << ReadFile(g_root + "/svc.log") << ReadFile(g_spamd.logFile);
    std::string m = g_root + "/";
    WriteFile(m + "gtube.eml", std::string("From: a@example.com\r\nTo: b@example.com\r\nSubject: offer\r\n\r\n") +
                                   kGtube + "\r\n");
    WriteFile(m + "plain.eml",
              "From: a@example.com\r\nTo: b@example.com\r\nSubject: lunch\r\nDate: Mon, 7 Dec 2026 10:00:00 +0000\r\n"
              "Message-ID: <1@example.com>\r\n\r\nShall we meet at noon?\r\n");
    WriteFile(m + "huge.eml", std::string("Subject: big\r\n\r\n") + kGtube + "\r\n" + std::string(5000, 'x'));
    g_bReady = true;
  }

  static void TearDownTestSuite() {
    if (g_svc.nPid) {
      EXPECT_EQ(PlatEndProcess(g_svc.nPid, 10000), 0);
      EXPECT_FALSE(fs::exists(g_data + "/pipe/ruvospam"));
    }
    if (g_spamd.nPid) PlatEndProcess(g_spamd.nPid, 10000);
    g_svc.nPid = g_spamd.nPid = 0;
    if (!g_root.empty() && !getenv("SERVICE_TEST_KEEP")) fs::remove_all(g_root);
  }

  void SetUp() override {
    if (!g_sSkip.empty()) GTEST_SKIP() << g_sSkip;
    ASSERT_TRUE(g_bReady);
    g_szDataDir.Format("%s/", g_data.c_str());
    g_nScanMax = 0;
  }
};

// Both argument forms; spam gets score and rule names, the rest is empty.
TEST_F(SpamServiceTest, Verdicts) {
  std::string m = g_root + "/";
  static const struct {
    std::string arg;
    bool bSpam;
    const char *szNote;
  } kCases[] = {
      {m + "gtube.eml", true, "GTUBE"},                                   // POP3 form
      {m + "gtube.eml\t192.0.2.7\t<a@example.com>", true, "GTUBE"},       // SMTP form
      {m + "plain.eml", false, "(ham "},
      {m + "plain.eml\t192.0.2.7\t<>", false, "(ham "},
      {m + "missing.eml", false, "file not found"},
      {m + "huge.eml", false, "file too large"},                          // above the service's -K
      {m, false, "not a regular file"},
  };
  for (const auto &c : kCases) {
    char szResult[kScanReplySize];
    EXPECT_EQ(ScanSpamFile(2, c.arg.c_str(), szResult), 1) << c.arg;
    std::string verdict = szResult;
    if (c.bSpam) {
      EXPECT_EQ(verdict.rfind("Spam ", 0), 0u) << verdict;
      EXPECT_NE(verdict.find("GTUBE"), std::string::npos) << verdict;
    } else {
      EXPECT_EQ(verdict, "") << c.arg;
    }
  }
  PlatSleepMs(100);
  std::string log = ReadFile(g_svc.logFile);
  for (const auto &c : kCases) EXPECT_GE(svctest::CountLines(log, c.szNote), 1) << c.szNote;
  // One line per request.
  EXPECT_EQ(svctest::CountLines(log, " --- "), static_cast<int>(std::size(kCases)));
}

// Without a spamd to ask the service does not start (exit 3: skipped).
TEST_F(SpamServiceTest, NoSpamdMeansSkipped) {
  int nPort = FreePort();
  std::string out = g_root + "/nospamd.log";
  int nExit = svctest::RunProgram({svctest::ProgramDir() + "/ruvospam", "-Z=" + g_root + "/data2",
                                   "-S=127.0.0.1:" + std::to_string(nPort), "-Q=0"},
                                  out, 20000);
  EXPECT_EQ(nExit, 3);
  EXPECT_NE(ReadFile(out).find("not started"), std::string::npos) << ReadFile(out);
}

}  // namespace
