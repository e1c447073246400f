// FTP text from servers and clients: the reply reader of the ftp:// client
// must read the same replies whether the bytes arrive whole or cut at any
// point; every line then goes through the passive-reply readers of both
// the client and the control relay (and the relay's rewriting of it), the
// PORT and EPRT argument readers, directory tracking, the cache key and
// the transfer classification.
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "base/limits.h"
#include "ftp/ftp_client.h"
#include "fuzz/fuzz_input.h"
#include "relay/ftp_control.h"

namespace {

using Replies = std::vector<std::pair<int, std::string>>;

// Sends data over a fresh socket pair (SOCK_SEQPACKET: one receive per
// piece, so a cut stays a cut; SOCK_STREAM for the whole) and reads replies
// until the reader stops.
Replies ReadReplies(const std::string &data, std::size_t nCut, bool bPacket) {
  Replies out;
  int fds[2];
  if (socketpair(AF_UNIX, bPacket ? SOCK_SEQPACKET : SOCK_STREAM, 0, fds) != 0) abort();
  std::size_t nPieces[2] = {nCut, data.size() - nCut};
  for (std::size_t i = 0, nAt = 0; i < 2; nAt += nPieces[i], ++i) {
    if (nPieces[i] == 0) continue;
    FUZZ_CHECK(write(fds[1], data.data() + nAt, nPieces[i]) == static_cast<ssize_t>(nPieces[i]));
  }
  shutdown(fds[1], SHUT_WR);
  FtpControl *pCtl = new FtpControl;
  FtpControlInit(pCtl, fds[0], 1000);
  std::vector<char> reply(kFtpReplyLine);
  for (std::size_t nCalls = 0; nCalls <= data.size() + 1; ++nCalls) {
    reply[0] = '\0';
    int r = FtpReadReply(pCtl, reply.data(), reply.size(), 0);
    FUZZ_CHECK(strlen(reply.data()) < reply.size());
    out.emplace_back(r, reply.data());
    if (r != 1) break;
  }
  delete pCtl;
  close(fds[0]);
  close(fds[1]);
  return out;
}

void CheckLine(const std::string &line) {
  const char *sz = line.c_str();
  char szAddr[kAddrTextSize];
  int nPort = 0, nProto = 0, bExtended = 0;
  if (ParsePasvReply(sz, szAddr, sizeof szAddr, &nPort)) FUZZ_CHECK(nPort >= 0 && nPort <= 65535);
  if (ParseEpsvReply(sz, szAddr, sizeof szAddr, &nPort)) FUZZ_CHECK(nPort >= 0 && nPort <= 65535);
  if (ParsePortArgument(sz, szAddr, sizeof szAddr, &nPort)) FUZZ_CHECK(nPort >= 0 && nPort <= 65535);
  if (ParseEprtArgument(sz, &nProto, szAddr, sizeof szAddr, &nPort)) FUZZ_CHECK(nPort >= 0 && nPort <= 65535);
  // The relay rewrites only 227 and 229 replies it could read.
  if ((line.compare(0, 4, "227 ") == 0 || line.compare(0, 4, "229 ") == 0) &&
      ParsePassiveReply(sz, &bExtended, szAddr, sizeof szAddr, &nPort)) {
    char szOut[kFtpReplyLine];
    for (int nForm = 0; nForm < 8; ++nForm)
      if (RewritePassiveReply(sz, bExtended, "192.0.2.1", "2001:db8::1", 50000, nForm & 1, (nForm >> 1) & 1,
                              (nForm >> 2) & 1, szOut, sizeof szOut))
        FUZZ_CHECK(strlen(szOut) < sizeof szOut);
  }
  FtpDirText dir;
  dir.Assign("/pub/a");
  FtpTrackCwd(&dir, sz);
  FtpTrackCwd(&dir, sz);
  FUZZ_CHECK(dir.Length() <= 255);
  char szKey[1024];
  if (BuildFtpCacheKey("anonymous", "192.0.2.1", 21, dir.c_str(), sz, szKey, sizeof szKey))
    FUZZ_CHECK(strlen(szKey) < sizeof szKey);
  FtpTrackCdup(&dir);
  FtpTransferKindOf(sz);
}

// Cuts tested: every one up to this size, none beyond (a socket pair each).
constexpr std::size_t kEveryCut = 512;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pData, size_t nSize) {
  // More than a socket buffer would block the single-threaded writer.
  if (nSize > 65536) return 0;
  std::string data(reinterpret_cast<const char *>(pData), nSize);
  Replies whole = ReadReplies(data, data.size(), false);
  // A packet must fit the reader's buffer to be one receive.
  if (data.size() <= kEveryCut && data.size() <= kRecvChunk)
    for (std::size_t nCut = 0; nCut <= data.size(); ++nCut) FUZZ_CHECK(ReadReplies(data, nCut, true) == whole);

  std::size_t nAt = 0;
  while (nAt < data.size()) {
    std::size_t nEnd = data.find('\n', nAt);
    nEnd = nEnd == std::string::npos ? data.size() : nEnd + 1;
    CheckLine(data.substr(nAt, nEnd - nAt));
    nAt = nEnd;
  }
  return 0;
}
