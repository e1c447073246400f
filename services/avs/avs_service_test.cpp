// The virus scanner service end to end: the built ruvoavs program with a
// signature database made here with sigtool, asked through the proxy's own
// client (ScanFile).
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "core/settings.h"
#include "inspect/scan_client.h"
#include "platform/plat_ipc.h"
#include "services/service_test_support.h"

namespace {

namespace fs = std::filesystem;
using svctest::ReadFile;
using svctest::WriteFile;

// The EICAR test file, spelled in two halves so that no scanner flags this
// source.
const std::string kEicar = std::string("X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-") +
                           "ANTIVIRUS-TEST-FILE!$H+H*";
const char *kMarker = "RUVO-TEST-MARKER-0d1e";

std::string g_root;       // test folder
std::string g_data;       // data folder of the service (ends without '/')
svctest::RunningService g_svc;
bool g_bReady = false;
std::string g_sSkip;

class AvsServiceTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string bin = svctest::ProgramDir() + "/ruvoavs";
    if (!PlatFileExists("/usr/bin/sigtool") || !PlatFileExists(bin.c_str())) {
      g_sSkip = "sigtool or ruvoavs missing";
      return;
    }
    g_root = svctest::TempDir("avst");
    g_data = g_root + "/data";
    fs::create_directories(g_root + "/db");
    fs::create_directories(g_root + "/files");
    std::string f = g_root + "/files/";
    WriteFile(f + "eicar.com", kEicar);
    WriteFile(f + "marker.txt", std::string("text before ") + kMarker + " and after\n");
    WriteFile(f + "clean.txt", "nothing to see here\n");
    WriteFile(f + "big.txt", std::string(150000, 'a') + kMarker);
    // Signatures: the EICAR file by its MD5 (sigtool --md5), the marker as
    // a body pattern anywhere in a file (sigtool --hex-dump).
    std::string out = g_root + "/sigtool.out";
    ASSERT_EQ(svctest::RunProgram({"sigtool", "--md5", f + "eicar.com"}, out, 20000), 0);
    std::string md5 = ReadFile(out);
    md5 = md5.substr(0, md5.rfind(':') + 1) + "Eicar-Test-Signature\n";
    WriteFile(g_root + "/db/test.hdb", md5);
    ASSERT_EQ(svctest::RunProgram({"sh", "-c", std::string("printf %s ") + kMarker + " | sigtool --hex-dump > " +
                                                   g_root + "/hex.out"},
                                  out, 20000),
              0);
    std::string hex = ReadFile(g_root + "/hex.out");
    while (!hex.empty() && (hex.back() == '\n' || hex.back() == '\r')) hex.pop_back();
    WriteFile(g_root + "/db/test.ndb", "Ruvo.Test.Marker:0:*:" + hex + "\n");
    // Containers: a zip archive and a mail whose attachment is the EICAR
    // file, and a mail carrying the marker in a base64 part.
    std::string py =
        "import sys, zipfile, email.message\n"
        "d = sys.argv[1]\n"
        "eicar = open(d + 'eicar.com', 'rb').read()\n"
        "with zipfile.ZipFile(d + 'eicar.zip', 'w', zipfile.ZIP_DEFLATED) as z: z.writestr('inner/e.com', eicar)\n"
        "m = email.message.EmailMessage()\n"
        "m['From'] = 'a@example.com'; m['To'] = 'b@example.com'; m['Subject'] = 'files'\n"
        "m.set_content('see attachment')\n"
        "m.add_attachment(eicar, maintype='application', subtype='octet-stream', filename='e.com')\n"
        "open(d + 'eicar.eml', 'wb').write(m.as_bytes())\n"
        "m2 = email.message.EmailMessage()\n"
        "m2['From'] = 'a@example.com'; m2['Subject'] = 'marker'\n"
        "m2.set_content('hello')\n"
        "m2.add_attachment(open(d + 'marker.txt', 'rb').read(), maintype='application', subtype='octet-stream',"
        " filename='m.bin')\n"
        "open(d + 'marker.eml', 'wb').write(m2.as_bytes())\n";
    WriteFile(g_root + "/mk.py", py);
    ASSERT_EQ(svctest::RunProgram({"/usr/bin/python3", g_root + "/mk.py", f}, out, 20000), 0);
    ASSERT_EQ(svctest::RunProgram({"mkfifo", f + "fifo"}, out, 5000), 0);

    int nExit = 0;
    int rc = svctest::StartService({bin, "-Z=" + g_data, "-D=" + g_root + "/db", "-K=100000", "-T=2000"},
                                   g_root + "/svc.log", g_data + "/pipe/ruvoavs", 30000, &g_svc, &nExit);
    ASSERT_EQ(rc, 1) << ReadFile(g_root + "/svc.log");
    g_bReady = true;
  }

  static void TearDownTestSuite() {
    if (g_svc.nPid) {
      // A stop signal ends the service cleanly and removes its socket.
      EXPECT_EQ(PlatEndProcess(g_svc.nPid, 10000), 0);
      EXPECT_FALSE(fs::exists(g_data + "/pipe/ruvoavs"));
      g_svc.nPid = 0;
    }
    if (!g_root.empty() && !getenv("SERVICE_TEST_KEEP")) fs::remove_all(g_root);
  }

  void SetUp() override {
    if (!g_sSkip.empty()) GTEST_SKIP() << g_sSkip;
    ASSERT_TRUE(g_bReady);
    g_szDataDir.Format("%s/", g_data.c_str());
    g_nScanMax = 0;
  }

  static std::string Scan(const std::string &file) {
    char szResult[kScanReplySize];
    ScanFile(kModeSmtp, 1, file.c_str(), szResult);
    return szResult;
  }
};

// Findings in plain files, in archives and in mail; clean and unusable
// files get the empty reply.  Each request gets exactly one log line.
TEST_F(AvsServiceTest, Verdicts) {
  std::string f = g_root + "/files/";
  static const struct {
    const char *szFile;
    const char *szVerdict;  // expected prefix; "" = clean
    const char *szNote;     // expected in the service's log line
  } kCases[] = {
      {"eicar.com", "Eicar-Test-Signature", ""},
      {"marker.txt", "Ruvo.Test.Marker", ""},
      {"clean.txt", "", "CLEAN"},
      {"eicar.zip", "Eicar-Test-Signature", ""},   // archive scanning
      {"eicar.eml", "Eicar-Test-Signature", ""},   // mail scanning (attachment)
      {"marker.eml", "Ruvo.Test.Marker", ""},      // mail scanning (base64 part)
      {"missing.dat", "", "file not found"},
      {"", "", "not a regular file"},              // the folder itself
      {"fifo", "", "not a regular file"},          // must not block
      {"big.txt", "", "file too large: 150021 bytes"},
  };
  for (const auto &c : kCases) {
    std::string path = f + c.szFile;
    int nLinesBefore = svctest::CountLines(ReadFile(g_svc.logFile), "] " + path + "?3 --- ");
    int64_t nStart = PlatSteadyMs();
    std::string verdict = Scan(path);
    EXPECT_LT(PlatSteadyMs() - nStart, 5000) << c.szFile;
    if (c.szVerdict[0]) {
      EXPECT_EQ(verdict.rfind(c.szVerdict, 0), 0u) << c.szFile << ": " << verdict;
    } else {
      EXPECT_EQ(verdict, "") << c.szFile;
    }
    // The line is written after the reply: give it a moment.
    std::string log;
    for (int i = 0; i < 100; ++i) {
      log = ReadFile(g_svc.logFile);
      if (svctest::CountLines(log, "] " + path + "?3 --- ") > nLinesBefore) break;
      PlatSleepMs(10);
    }
    EXPECT_EQ(svctest::CountLines(log, "] " + path + "?3 --- "), nLinesBefore + 1) << c.szFile;
    EXPECT_GE(svctest::CountLines(log, c.szNote), 1) << c.szFile;
  }
}

// Many clients at a time (several proxies share one service): every call
// gets its own right answer.
TEST_F(AvsServiceTest, ConcurrentClients) {
  std::string f = g_root + "/files/";
  constexpr int kThreads = 12;
  std::atomic<int> nRight{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      std::string file = f + (i % 2 ? "eicar.zip" : "clean.txt");
      char req[kScanReplySize] = {};
      snprintf(req, sizeof req, "%s\t1", file.c_str());
      char reply[kScanReplySize];
      int nLen = 0;
      std::string sock = g_data + "/pipe/ruvoavs";
      if (PlatCallPipe(sock.c_str(), req, sizeof req, reply, sizeof reply, 20000, &nLen, nullptr) != 1) return;
      std::string got(reply, static_cast<size_t>(nLen));
      if (i % 2 ? got.rfind("Eicar-Test-Signature", 0) == 0 : got.empty()) ++nRight;
    });
  }
  for (auto &t : threads) t.join();
  EXPECT_EQ(nRight.load(), kThreads);
}

// Without signatures the service does not start and says so (exit 3 =
// skipped by scripts/run_services.sh).
TEST_F(AvsServiceTest, NoSignaturesMeansSkipped) {
  fs::create_directories(g_root + "/emptydb");
  std::string out = g_root + "/nodb.log";
  int nExit = svctest::RunProgram({svctest::ProgramDir() + "/ruvoavs", "-Z=" + g_root + "/data2",
                                   "-D=" + g_root + "/emptydb"},
                                  out, 20000);
  EXPECT_EQ(nExit, 3);
  EXPECT_NE(ReadFile(out).find("not started"), std::string::npos) << ReadFile(out);
  EXPECT_FALSE(fs::exists(g_root + "/data2/pipe/ruvoavs"));
}

}  // namespace
