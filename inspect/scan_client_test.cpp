#include "inspect/scan_client.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/settings.h"
#include "platform/plat_ipc.h"
#include "platform/plat_ipc_server.h"
#include "platform/plat_time.h"
#include "tests/unit/test_support.h"

namespace {

namespace fs = std::filesystem;

// A fake inspection service on a Unix-domain socket, served by one thread:
// it takes one call after another, records each request and answers with
// the configured reply (or not at all).
class FakeService {
 public:
  enum Mode { kAnswer, kSilent };

  FakeService(const std::string &path, int nRequestSize, int nBacklog = 16) : m_path(path), m_nReq(nRequestSize) {
    m_bOk = PlatIpcServerListen(path.c_str(), nBacklog, &m_nListen) == 1;
  }
  ~FakeService() { Stop(); }

  bool Ok() const { return m_bOk; }
  void SetReply(const std::string &reply) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_reply = reply;
  }
  void SetMode(Mode m) { m_mode = m; }
  // Runs fn (in the service thread) on each request before answering.
  void SetHook(void (*fn)(const std::string &)) { m_hook = fn; }

  void Start(int nAcceptDelayMs = 0) {
    m_thread = std::thread([this, nAcceptDelayMs] {
      if (nAcceptDelayMs > 0) PlatSleepMs(nAcceptDelayMs);
      while (!m_bStop.load()) {
        int nClient = -1;
        if (PlatIpcServerAccept(m_nListen, 20, &nClient, nullptr) != 1) continue;
        std::string req(static_cast<size_t>(m_nReq), '\0');
        size_t nGot = 0;
        PlatIpcRecvExact(nClient, req.data(), req.size(), 2000, &nGot);
        req.resize(nGot);
        if (m_hook) m_hook(req);
        std::string reply;
        {
          std::lock_guard<std::mutex> lock(m_lock);
          m_requests.push_back(req);
          reply = m_reply;
        }
        if (m_mode == kSilent) {
          while (!m_bStop.load()) PlatSleepMs(5);
        } else if (!reply.empty()) {
          PlatIpcSendAll(nClient, reply.data(), reply.size(), 2000);
        }
        PlatIpcClose(nClient);
      }
    });
  }
  void Stop() {
    m_bStop = true;
    if (m_thread.joinable()) m_thread.join();
    if (m_nListen >= 0) {
      PlatIpcClose(m_nListen);
      fs::remove(m_path);
      m_nListen = -1;
    }
  }
  std::vector<std::string> Requests() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_requests;
  }

 private:
  std::string m_path;
  int m_nReq;
  int m_nListen = -1;
  bool m_bOk = false;
  std::atomic<bool> m_bStop{false};
  std::atomic<Mode> m_mode{kAnswer};
  void (*m_hook)(const std::string &) = nullptr;
  std::mutex m_lock;
  std::string m_reply;
  std::vector<std::string> m_requests;
  std::thread m_thread;
};

// Text of a request up to its NUL.
std::string RequestText(const std::string &req) { return std::string(req.c_str()); }

class ScanClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(m_root + "/pipe");
    fs::create_directories(m_root + "/cache");
    fs::create_directories(m_root + "/log");
    g_szDataDir.Format("%s/", m_root.c_str());
    g_szLogDir.Format("%s/log", m_root.c_str());
    g_bLogFile = 1;
    g_bLogConsole = 0;
    g_nScanMax = 0;
    g_nRetryLimit = 3;
    SetScanTimeouts(5000, 5000);
  }
  void TearDown() override {
    g_bLogFile = 0;
    g_nScanMax = 0;
    SetScanTimeouts(kScanReplyTimeoutMs, kScanBusyTimeoutMs);
  }
  std::string Pipe(const char *szName) { return m_root + "/pipe/" + szName; }
  std::string MakeFile(const std::string &name, size_t nSize) {
    std::string path = m_root + "/" + name;
    testsupport::WriteFile(path, std::string(nSize, 'x'));
    return path;
  }
  std::string Log() {
    std::string all;
    for (const auto &e : fs::directory_iterator(m_root + "/log")) all += testsupport::ReadFile(e.path());
    return all;
  }
  testsupport::TempDir m_tmp{"scantest"};
  std::string m_root = m_tmp.Path();
};

// Verdicts: a finding is passed on; the two "not a finding" answers (any
// case) and an empty reply are clean.
TEST_F(ScanClientTest, ScanFileVerdicts) {
  static const struct {
    const char *szReply;
    const char *szResult;
    const char *szLogged;
  } kCases[] = {
      {"Eicar-Test-Signature", "Eicar-Test-Signature", "--- Eicar-Test-Signature\n"},
      {"AVS_ACCESSDENIED", "", "--- AVS_ACCESSDENIED\n"},
      {"avs_accessdenied", "", "--- avs_accessdenied\n"},
      {"password-protected-exe", "", "--- password-protected-exe\n"},
      {"Password-Protected-EXE.2", "Password-Protected-EXE.2", "--- Password-Protected-EXE.2\n"},
      {"", "", "--- CLEAN\n"},
  };
  FakeService svc(Pipe(kAvsPipe), kScanReplySize);
  ASSERT_TRUE(svc.Ok());
  svc.Start();
  for (const auto &c : kCases) {
    svc.SetReply(c.szReply);
    char szResult[kScanReplySize];
    std::memset(szResult, 'z', sizeof szResult);
    EXPECT_EQ(ScanFile(kModeSmtp, 7, "/spool/m1.dat", szResult), 1) << c.szReply;
    EXPECT_STREQ(szResult, c.szResult);
    EXPECT_NE(Log().find(std::string("[ScanFile] [0007] /spool/m1.dat ") + c.szLogged), std::string::npos)
        << c.szReply;
  }
}

// The request is the whole zero-filled buffer: name, TAB, protocol code.
TEST_F(ScanClientTest, ScanFileRequestCarriesProtocolCode) {
  static const struct {
    int nProtocol;
    const char *szText;
  } kCases[] = {
      {0, "/f\t1"}, {1, "/f\t3"}, {2, "/f\t4"}, {3, "/f\t5"}, {4, "/f\t2"}, {5, "/f\t"},
  };
  FakeService svc(Pipe(kAvsPipe), kScanReplySize);
  ASSERT_TRUE(svc.Ok());
  svc.Start();
  char szResult[kScanReplySize];
  for (const auto &c : kCases) ScanFile(c.nProtocol, 1, "/f", szResult);
  svc.Stop();
  auto reqs = svc.Requests();
  ASSERT_EQ(reqs.size(), std::size(kCases));
  for (size_t i = 0; i < reqs.size(); ++i) {
    EXPECT_EQ(reqs[i].size(), kScanReplySize);
    EXPECT_EQ(RequestText(reqs[i]), kCases[i].szText);
    EXPECT_EQ(reqs[i].find_first_not_of('\0', std::strlen(kCases[i].szText)), std::string::npos);
  }
}

// File names are cut to 260 characters; the SMTP spam argument keeps its
// address and reverse path after the cut name; the content filter gets its
// larger buffer.
TEST_F(ScanClientTest, RequestNameCutAt260) {
  std::string name259(259, 'a');  // "/" and 258 letters
  name259.front() = '/';
  std::string name260(260, 'b');  // "/" and 259 letters
  name260.front() = '/';
  std::string name261(261, 'c');  // "/" and 260 letters
  name261.front() = '/';
  FakeService avs(Pipe(kAvsPipe), kScanReplySize);
  FakeService spam(Pipe(kSpamPipe), kScanReplySize);
  FakeService http(Pipe(kHttpPipe), kHttpScanReplySize);
  ASSERT_TRUE(avs.Ok() && spam.Ok() && http.Ok());
  avs.Start();
  spam.Start();
  http.Start();
  char szResult[kHttpScanReplySize];
  ScanFile(kModeHttp, 1, name259.c_str(), szResult);
  ScanFile(kModeHttp, 1, name260.c_str(), szResult);
  ScanFile(kModeHttp, 1, name261.c_str(), szResult);
  ScanSpamFile(1, (name261 + "\t192.0.2.1\t<a@example.com>").c_str(), szResult);
  ScanSpamFile(1, name261.c_str(), szResult);
  ScanHttpFile(1, (name261 + "x").c_str(), szResult);
  avs.Stop();
  spam.Stop();
  http.Stop();
  auto a = avs.Requests();
  ASSERT_EQ(a.size(), 3u);
  EXPECT_EQ(RequestText(a[0]), name259 + "\t1");
  EXPECT_EQ(RequestText(a[1]), name260 + "\t1");
  EXPECT_EQ(RequestText(a[2]), name261.substr(0, 260) + "\t1");
  auto s = spam.Requests();
  ASSERT_EQ(s.size(), 2u);
  EXPECT_EQ(RequestText(s[0]), name261.substr(0, 260) + "\t192.0.2.1\t<a@example.com>");
  EXPECT_EQ(RequestText(s[1]), name261.substr(0, 260));
  auto h = http.Requests();
  ASSERT_EQ(h.size(), 1u);
  EXPECT_EQ(h[0].size(), kHttpScanReplySize);
  EXPECT_EQ(RequestText(h[0]), name261.substr(0, 260));
}

// -K: a file of exactly the limit is scanned, one byte more is not.
TEST_F(ScanClientTest, SizeLimit) {
  FakeService svc(Pipe(kAvsPipe), kScanReplySize);
  ASSERT_TRUE(svc.Ok());
  svc.SetReply("Found.Virus");
  svc.Start();
  g_nScanMax = 1000;
  std::string f1000 = MakeFile("f1000", 1000);
  std::string f1001 = MakeFile("f1001", 1001);
  char szResult[kScanReplySize];
  EXPECT_EQ(ScanFile(kModeHttp, 3, f1000.c_str(), szResult), 1);
  EXPECT_STREQ(szResult, "Found.Virus");
  EXPECT_EQ(ScanFile(kModeHttp, 3, f1001.c_str(), szResult), 1);
  EXPECT_STREQ(szResult, "");
  EXPECT_EQ(ScanHttpFile(3, f1001.c_str(), szResult), 1);
  EXPECT_EQ(ScanSpamFile(3, f1001.c_str(), szResult), 1);
  // The SMTP form of the spam argument is not a file name: never skipped.
  std::string smtpArg = f1001 + "\t127.0.0.1\t<a@b>";
  FakeService spam(Pipe(kSpamPipe), kScanReplySize);
  ASSERT_TRUE(spam.Ok());
  spam.Start();
  EXPECT_EQ(ScanSpamFile(3, smtpArg.c_str(), szResult), 1);
  spam.Stop();
  svc.Stop();
  EXPECT_EQ(svc.Requests().size(), 1u);
  EXPECT_EQ(spam.Requests().size(), 1u);
  std::string log = Log();
  EXPECT_NE(log.find("[FileSizeCheck] [0003] CallNamedPipe(" + f1001 + ") size is too big. (1001)\n"),
            std::string::npos);
  EXPECT_EQ(log.find("CallNamedPipe(" + f1000 + ") size is too big"), std::string::npos);
}

// No service: no socket file, or a socket file nobody listens on.  Clean,
// result 0, no log line.
TEST_F(ScanClientTest, ServiceNotRunning) {
  char szResult[kScanReplySize] = "junk";
  EXPECT_EQ(ScanFile(kModeHttp, 1, "/f", szResult), 0);
  EXPECT_STREQ(szResult, "");
  std::ofstream(Pipe(kHttpPipe)) << "not a socket";
  // A socket file left by a service that died.
  int nListen = -1;
  ASSERT_EQ(PlatIpcServerListen(Pipe(kSpamPipe).c_str(), 4, &nListen), 1);
  PlatIpcClose(nListen);
  ASSERT_TRUE(fs::exists(Pipe(kSpamPipe)));
  EXPECT_EQ(ScanSpamFile(1, "/f", szResult), 0);
  char szHttp[kHttpScanReplySize] = "junk";
  EXPECT_EQ(ScanHttpFile(1, "/f", szHttp), 0);
  EXPECT_STREQ(szHttp, "");
  EXPECT_EQ(Log(), "");
}

// Whether a file made only for the virus scanner is worth making: only a
// pipe that surely has no service behind it says no, and the size check
// of -K may decide before any pipe is called.
TEST_F(ScanClientTest, VirusScannerReachable) {
  enum PipeKind { kNone, kNotSocket, kStaleSocket, kLive };
  static const struct {
    const char *szName;
    PipeKind ePipe;
    uint64_t nScanMax;
    int nWant;
  } kCases[] = {
      {"no pipe", kNone, 0, 0},
      {"a plain file where the pipe goes", kNotSocket, 0, 0},
      {"socket left by a dead service", kStaleSocket, 0, 1},
      {"service listening", kLive, 0, 1},
      {"no pipe but a size limit", kNone, 1000, 1},
  };
  for (const auto &c : kCases) {
    fs::remove(Pipe(kAvsPipe));
    std::unique_ptr<FakeService> pSvc;
    if (c.ePipe == kNotSocket) std::ofstream(Pipe(kAvsPipe)) << "x";
    if (c.ePipe == kStaleSocket) {
      int nListen = -1;
      ASSERT_EQ(PlatIpcServerListen(Pipe(kAvsPipe).c_str(), 4, &nListen), 1);
      PlatIpcClose(nListen);
    }
    if (c.ePipe == kLive) pSvc = std::make_unique<FakeService>(Pipe(kAvsPipe), kScanReplySize);
    g_nScanMax = c.nScanMax;
    EXPECT_EQ(c.nWant, VirusScannerReachable()) << c.szName;
    pSvc.reset();
  }
  fs::remove(Pipe(kAvsPipe));
  EXPECT_EQ(0, PlatPipePresent((MakeFile("plain", 1) + "/ruvoavs").c_str()));  // a file as the folder
  char szResult[kScanReplySize] = "junk";
  EXPECT_EQ(0, VirusScannerMissing(szResult));
  EXPECT_STREQ("", szResult);
}

// A busy service (its queue full) is called again every 10 ms, each
// attempt logged, until it takes the call; a service that never does lets
// the content pass after the busy limit.
TEST_F(ScanClientTest, BusyServiceRetriedThenBounded) {
  FakeService svc(Pipe(kAvsPipe), kScanReplySize, 0);
  ASSERT_TRUE(svc.Ok());
  svc.SetReply("W32.Busy");
  // With a queue of 0 one waiting connection fills it.
  std::thread plug([&] {
    char szPlug[kScanReplySize] = {};
    char szReply[8];
    int nLen = 0;
    PlatCallPipe(Pipe(kAvsPipe).c_str(), szPlug, sizeof szPlug, szReply, sizeof szReply, 3000, &nLen, nullptr);
  });
  PlatSleepMs(50);
  svc.Start(100);  // starts taking calls 100 ms from now
  char szResult[kScanReplySize];
  int64_t nStart = PlatSteadyMs();
  EXPECT_EQ(ScanFile(kModeFtp, 9, "/busy", szResult), 1);
  EXPECT_GE(PlatSteadyMs() - nStart, 30);
  EXPECT_STREQ(szResult, "W32.Busy");
  plug.join();
  std::string log = Log();
  EXPECT_NE(log.find("[ScanFile] [0009] CallNamedPipe(/busy\t2) fail. code = 11\n"), std::string::npos);
  EXPECT_NE(log.find("[ScanFile] [0009] /busy --- W32.Busy\n"), std::string::npos);
}

TEST_F(ScanClientTest, BusyForeverIsBounded) {
  int nListen = -1;
  ASSERT_EQ(PlatIpcServerListen(Pipe(kSpamPipe).c_str(), 0, &nListen), 1);
  std::thread plug([&] {
    char szReply[8];
    int nLen = 0;
    PlatCallPipe(Pipe(kSpamPipe).c_str(), "", 1, szReply, sizeof szReply, 1500, &nLen, nullptr);
  });
  PlatSleepMs(50);
  SetScanTimeouts(5000, 150);
  char szResult[kScanReplySize];
  int64_t nStart = PlatSteadyMs();
  EXPECT_EQ(ScanSpamFile(4, "/never", szResult), 0);
  int64_t nTook = PlatSteadyMs() - nStart;
  EXPECT_GE(nTook, 150);
  EXPECT_LT(nTook, 1200);
  EXPECT_STREQ(szResult, "");
  PlatIpcClose(nListen);  // drops the waiting connection too
  plug.join();
  EXPECT_NE(Log().find("[ScanSpamFile] [0004] CallNamedPipe(/never) busy for "), std::string::npos);
}

// A service that takes the request and never answers holds the call only
// until the reply limit.
TEST_F(ScanClientTest, SilentServiceIsBounded) {
  FakeService svc(Pipe(kHttpPipe), kHttpScanReplySize);
  ASSERT_TRUE(svc.Ok());
  svc.SetMode(FakeService::kSilent);
  svc.Start();
  SetScanTimeouts(200, 5000);
  char szResult[kHttpScanReplySize];
  int64_t nStart = PlatSteadyMs();
  EXPECT_EQ(ScanHttpFile(5, "/slow", szResult), 0);
  int64_t nTook = PlatSteadyMs() - nStart;
  EXPECT_GE(nTook, 190);
  EXPECT_LT(nTook, 2000);
  EXPECT_STREQ(szResult, "");
  EXPECT_NE(Log().find("[ScanHttpFile] [0005] CallNamedPipe(/slow) no reply within 200 ms, passed as clean.\n"),
            std::string::npos);
}

// A reply longer than the buffer is cut to fit, never overflowing.
TEST_F(ScanClientTest, OversizedReplyIsCut) {
  FakeService svc(Pipe(kSpamPipe), kScanReplySize);
  ASSERT_TRUE(svc.Ok());
  svc.SetReply(std::string(3000, 'S'));
  svc.Start();
  char szResult[kScanReplySize + 16];
  std::memset(szResult, 'z', sizeof szResult);
  EXPECT_EQ(ScanSpamFile(1, "/m", szResult), 1);
  EXPECT_EQ(std::strlen(szResult), kScanReplySize - 1);
  EXPECT_EQ(szResult[kScanReplySize], 'z');
}

// A socket path that does not fit the address is refused, not cut: a
// service listening at the cut path must not receive the call.
TEST(PlatIpcTest, LongPathIsRefusedNotCut) {
  std::string dir = "/tmp/ipclong" + std::to_string(getpid());
  fs::create_directories(dir);
  size_t nMax = PlatIpcMaxPath();
  std::string fits = dir + "/" + std::string(nMax - dir.size() - 1, 'p');
  ASSERT_EQ(fits.size(), nMax);
  int nListen = -1;
  ASSERT_EQ(PlatIpcServerListen(fits.c_str(), 4, &nListen), 1);
  char szReply[16];
  int nLen = 0, nErr = 0;
  EXPECT_EQ(PlatCallPipe((fits + "q").c_str(), "x", 1, szReply, sizeof szReply, 500, &nLen, &nErr), -1);
  EXPECT_EQ(nErr, ENAMETOOLONG);
  int nClient = -1;
  EXPECT_EQ(PlatIpcServerAccept(nListen, 50, &nClient, nullptr), 0);  // nothing reached the cut path
  PlatIpcClose(nListen);
  fs::remove_all(dir);
}

// Compression: the message lies at cache/<id>.dat while the service works
// on it and returns to its spool name, rewritten; the envelope stays only
// when something was compressed.
std::string g_sCompressSeen;
void RewriteMessage(const std::string &req) {
  std::string path(req.c_str());
  std::ifstream in(path);
  std::getline(in, g_sCompressSeen);
  in.close();
  std::ofstream(path, std::ios::trunc) << "zipped";
}

TEST_F(ScanClientTest, CompressedbyPipe) {
  FakeService svc(Pipe(kZipPipe), kScanReplySize);
  ASSERT_TRUE(svc.Ok());
  svc.SetHook(RewriteMessage);
  svc.Start();
  static const struct {
    const char *szReply;
    bool bEnvelopeKept;
    const char *szLogged;
  } kCases[] = {
      {"1", true, "Compressed"},
      {"", false, "Uncompressed"},
  };
  for (const auto &c : kCases) {
    svc.SetReply(c.szReply);
    std::string spool = MakeFile("spool.eml", 10);
    std::ofstream(spool, std::ios::trunc) << "original";
    std::string envelope = m_root + "/cache/M42.$CP";
    std::ofstream(envelope) << "env";
    g_sCompressSeen.clear();
    char szResult[kScanReplySize];
    EXPECT_EQ(CompressedbyPipe(6, spool.c_str(), "M42", szResult), 1);
    EXPECT_STREQ(szResult, c.szReply);
    EXPECT_EQ(g_sCompressSeen, "original");
    std::ifstream in(spool);
    std::string content;
    std::getline(in, content);
    EXPECT_EQ(content, "zipped");
    EXPECT_FALSE(fs::exists(m_root + "/cache/M42.dat"));
    EXPECT_EQ(fs::exists(envelope), c.bEnvelopeKept);
    EXPECT_NE(Log().find("[CompressedbyPipe] [0006] " + spool + " --- " + c.szLogged + ".\n"), std::string::npos);
  }
  svc.Stop();
  auto reqs = svc.Requests();
  ASSERT_EQ(reqs.size(), 2u);
  EXPECT_EQ(RequestText(reqs[0]), m_root + "/cache/M42.dat");
}

}  // namespace

namespace {

// A service that serves every client on a thread of its own, as the real
// ones do; what it does with a request depends on the file name in it.
class ScriptedService {
 public:
  explicit ScriptedService(const std::string &path) : m_path(path) {
    m_bOk = PlatIpcServerListen(path.c_str(), 16, &m_nListen) == 1;
    m_accept = std::thread([this] {
      while (!m_bStop.load()) {
        int nClient = -1;
        if (PlatIpcServerAccept(m_nListen, 20, &nClient, nullptr) != 1) continue;
        std::lock_guard<std::mutex> lock(m_lock);
        m_clients.emplace_back([this, nClient] { Serve(nClient); });
      }
    });
  }
  ~ScriptedService() {
    m_bStop = true;
    m_accept.join();
    for (auto &t : m_clients) t.join();
    PlatIpcClose(m_nListen);
    fs::remove(m_path);
  }
  bool Ok() const { return m_bOk; }

 private:
  // "/slow...": answers "Late" after 1.5 s; "/silent": never; "/reset":
  // part of a reply, then a reset; "/huge": 10 MB; else "Quick".
  void Serve(int nClient) {
    std::string req(kScanReplySize, '\0');
    size_t nGot = 0;
    PlatIpcRecvExact(nClient, req.data(), 64, 2000, &nGot);
    std::string name = req.substr(0, req.find('\t'));
    // Closing with the rest of the request unread resets the connection.
    if (name != "/reset") PlatIpcRecvExact(nClient, req.data() + 64, req.size() - 64, 2000, &nGot);
    if (name.rfind("/slow", 0) == 0) {
      PlatSleepMs(1500);
      PlatIpcSendAll(nClient, "Late", 4, 2000);
    } else if (name == "/silent") {
      while (!m_bStop.load()) PlatSleepMs(5);
    } else if (name == "/reset") {
      PlatIpcSendAll(nClient, "Par", 3, 2000);
      PlatSleepMs(50);
      close(nClient);
      return;
    } else if (name == "/huge") {
      std::string big(10 << 20, 'H');
      PlatIpcSendAll(nClient, big.data(), big.size(), 2000);
    } else {
      PlatIpcSendAll(nClient, "Quick", 5, 2000);
    }
    PlatIpcClose(nClient);
  }
  std::string m_path;
  int m_nListen = -1;
  bool m_bOk = false;
  std::atomic<bool> m_bStop{false};
  std::mutex m_lock;
  std::vector<std::thread> m_clients;
  std::thread m_accept;
};

// One slow scan does not hold up the scans of other connections.
TEST_F(ScanClientTest, SlowScanDoesNotQueueOthers) {
  ScriptedService svc(Pipe(kAvsPipe));
  ASSERT_TRUE(svc.Ok());
  std::thread slow([] {
    char szResult[kScanReplySize];
    EXPECT_EQ(ScanFile(kModeHttp, 1, "/slow", szResult), 1);
    EXPECT_STREQ(szResult, "Late");
  });
  PlatSleepMs(100);
  char szResult[kScanReplySize];
  int64_t nStart = PlatSteadyMs();
  EXPECT_EQ(ScanFile(kModeHttp, 2, "/fast", szResult), 1);
  EXPECT_LT(PlatSteadyMs() - nStart, 700);
  EXPECT_STREQ(szResult, "Quick");
  slow.join();
}

// Every fault of a service ends within the reply limit; with inspection
// mandatory each one that leaves no verdict is reported as such.
TEST_F(ScanClientTest, ServiceFaultsAreBoundedAndMandatoryModeSeesThem) {
  static const struct {
    const char *szFile;
    bool bServe;       // a service listens
    int nResult;       // ScanFile's result
    bool bMissing;     // no verdict (refused with -I)
    const char *szVerdict;
  } kCases[] = {
      {"/any", false, 0, true, ""},           // service missing
      {"/reset", true, 0, true, ""},          // reset in the middle of the reply
      {"/silent", true, 0, true, ""},         // never answers
      {"/huge", true, 1, false, nullptr},     // 10 MB: cut to the buffer, a verdict
      {"/fine", true, 1, false, "Quick"},
  };
  SetScanTimeouts(300, 300);
  for (const auto &c : kCases) {
    std::unique_ptr<ScriptedService> svc;
    if (c.bServe) svc = std::make_unique<ScriptedService>(Pipe(kAvsPipe));
    char szResult[kScanReplySize];
    int64_t nStart = PlatSteadyMs();
    int nResult = ScanFile(kModeSmtp, 3, c.szFile, szResult);
    EXPECT_LT(PlatSteadyMs() - nStart, 1500) << c.szFile;
    EXPECT_EQ(nResult, c.nResult) << c.szFile;
    if (c.szVerdict) EXPECT_STREQ(szResult, c.szVerdict) << c.szFile;
    else EXPECT_EQ(std::strlen(szResult), kScanReplySize - 1) << c.szFile;
    g_bScanRequired = 1;
    EXPECT_EQ(ScanMissing(nResult), c.bMissing ? 1 : 0) << c.szFile;
    g_bScanRequired = 0;
    EXPECT_EQ(ScanMissing(nResult), 0) << c.szFile;
  }
}

}  // namespace
