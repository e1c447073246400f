// Helpers for the service tests: run a built service program on a data
// folder of its own and talk to it through the proxy's client code.
#ifndef PROXY_SERVICES_SERVICE_TEST_SUPPORT_H_
#define PROXY_SERVICES_SERVICE_TEST_SUPPORT_H_

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "platform/plat_file.h"
#include "platform/plat_process.h"
#include "platform/plat_time.h"
#include "tests/unit/test_support.h"

namespace svctest {

// The folder of the test program: the service programs are built beside it.
inline std::string ProgramDir() {
  return std::filesystem::read_symlink("/proc/self/exe").parent_path().string();
}

// A fresh folder under /tmp (short, so socket paths fit).
inline std::string TempDir(const char *szTag) {
  std::string dir = "/tmp/" + std::string(szTag) + "XXXXXX";
  std::vector<char> buf(dir.begin(), dir.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) return "";
  return buf.data();
}

using testsupport::ReadFile;
using testsupport::WriteFile;

// Runs a program to its end (at most nTimeoutMs) with output into szOut.
// Returns its exit code, or -1.
inline int RunProgram(std::vector<std::string> args, const std::string &out, int nTimeoutMs) {
  std::vector<const char *> argv;
  for (auto &a : args) argv.push_back(a.c_str());
  argv.push_back(nullptr);
  int nPid = 0;
  if (PlatSpawn(argv.data(), out.c_str(), &nPid) != 1) return -1;
  int nExit = -1;
  if (PlatWaitProcess(nPid, nTimeoutMs, &nExit) != 1) return PlatEndProcess(nPid, 1000), -1;
  return nExit;
}

// A service program running in the background.
struct RunningService {
  int nPid = 0;
  std::string logFile;
};

// Starts a program and waits (at most nWaitMs) until szSocket exists.
// Returns 1 running, 0 it exited first (*pnExit), -1 neither in time.
inline int StartService(std::vector<std::string> args, const std::string &log, const std::string &socket, int nWaitMs,
                        RunningService *pSvc, int *pnExit) {
  std::vector<const char *> argv;
  for (auto &a : args) argv.push_back(a.c_str());
  argv.push_back(nullptr);
  pSvc->logFile = log;
  if (PlatSpawn(argv.data(), log.c_str(), &pSvc->nPid) != 1) return -1;
  int64_t nUntil = PlatSteadyMs() + nWaitMs;
  while (PlatSteadyMs() < nUntil) {
    if (PlatFileExists(socket.c_str())) return 1;
    if (PlatWaitProcess(pSvc->nPid, 0, pnExit) == 1) {
      pSvc->nPid = 0;
      return 0;
    }
    PlatSleepMs(20);
  }
  return -1;
}

// Number of lines of text that contain needle.
inline int CountLines(const std::string &text, const std::string &needle) {
  int n = 0;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) n += line.find(needle) != std::string::npos;
  return n;
}

}  // namespace svctest

#endif  // PROXY_SERVICES_SERVICE_TEST_SUPPORT_H_
