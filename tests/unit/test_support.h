// Scaffolding shared by the unit tests: a temporary folder that removes
// itself, whole-file reads and writes, settings restored at scope end and a
// connected pair of loopback sockets.
#ifndef PROXY_TESTS_UNIT_TEST_SUPPORT_H_
#define PROXY_TESTS_UNIT_TEST_SUPPORT_H_

#include <stdlib.h>

#include <filesystem>
#include <functional>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/plat_socket.h"

namespace testsupport {

// A fresh folder under /tmp (short, so socket paths fit), removed with
// everything in it when the object ends.
class TempDir {
 public:
  explicit TempDir(const char *szTag) {
    std::string pattern = "/tmp/" + std::string(szTag) + "XXXXXX";
    if (mkdtemp(pattern.data())) m_path = pattern;
  }
  ~TempDir() {
    if (!m_path.empty()) std::filesystem::remove_all(m_path);
  }
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  const std::string &Path() const { return m_path; }
  std::string Path(const std::string &name) const { return m_path + "/" + name; }

 private:
  std::string m_path;
};

inline std::string ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

inline void WriteFile(const std::string &path, const std::string &content) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

// Saves settings (g_ globals) and puts the saved values back, last saved
// first, when the object ends: a fixture member restores after TearDown.
class Restorer {
 public:
  Restorer() = default;
  Restorer(const Restorer &) = delete;
  Restorer &operator=(const Restorer &) = delete;
  ~Restorer() {
    for (auto it = m_undo.rbegin(); it != m_undo.rend(); ++it) (*it)();
  }
  template <class... T>
  void Save(T &...values) {
    (m_undo.push_back([&value = values, saved = values] { value = saved; }), ...);
  }

 private:
  std::vector<std::function<void()>> m_undo;
};

// A connected pair of loopback stream sockets: a connected to b (accepted).
// Both are closed at the end; set one to kPlatNoSocket when code under test
// closes it.
struct LoopbackPair {
  PlatSocket a = kPlatNoSocket, b = kPlatNoSocket;
  LoopbackPair() {
    PlatSocket sListen;
    PlatSockAddr addr, peer;
    if (PlatListenAt("127.0.0.1", 0, 1, &sListen) != 1) return;
    if (PlatLocalAddress(sListen, &addr) == 1) {
      a = PlatStreamSocket(kFamilyIPv4);
      if (PlatConnectAddr(a, &addr, 2000) == 1) b = PlatAccept(sListen, &peer);
    }
    PlatCloseSocket(sListen);
  }
  ~LoopbackPair() {
    if (a != kPlatNoSocket) PlatCloseSocket(a);
    if (b != kPlatNoSocket) PlatCloseSocket(b);
  }
  LoopbackPair(const LoopbackPair &) = delete;
  LoopbackPair &operator=(const LoopbackPair &) = delete;
  bool Ok() const { return a != kPlatNoSocket && b != kPlatNoSocket; }
};

// A loopback port that is free right now (0 if none could be had).
inline int FreePort() {
  PlatSocket s;
  if (PlatListenAt("127.0.0.1", 0, 1, &s) != 1) return 0;
  PlatSockAddr a;
  int nPort = PlatLocalAddress(s, &a) == 1 ? static_cast<int>(PlatAddrPort(&a)) : 0;
  PlatCloseSocket(s);
  return nPort;
}

// Everything s receives until the peer closes or 2 s pass without data.
inline std::string RecvAll(PlatSocket s) {
  std::string out;
  char buf[4096];
  int n;
  while ((n = PlatRecv(s, buf, sizeof buf, 2000)) > 0) out.append(buf, static_cast<std::size_t>(n));
  return out;
}

}  // namespace testsupport

#endif  // PROXY_TESTS_UNIT_TEST_SUPPORT_H_
