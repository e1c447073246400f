// Response headers from servers (or the cache) rewritten for the client:
// the output stays inside its buffer, and the file is left where the
// unchanged rest begins, inside the header read.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/limits.h"
#include "core/settings.h"
#include "net/connection_record.h"
#include "fuzz/fuzz_input.h"
#include "http/rewrite.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pData, size_t nSize) {
  FuzzInput in{pData, nSize};
  unsigned nSel = in.Byte();
  int nMode = (nSel & 1) ? kResponseCache : kResponseServer;
  g_bForwarded = (nSel >> 1) & 1;
  g_bRemoteHostWp = (nSel >> 2) & 1;
  g_bXForwardedFor = (nSel >> 3) & 1;
  // A small buffer now and then, so the oversized-header path runs too.
  std::size_t nOutSize = (nSel & 0x10) ? 64 + in.Byte() : kHttpHeaderOut + 1;
  std::string data = in.Rest();
  if (data.empty()) return 0;

  // The record is large: one for the run, its fields set for each input.
  static ConnectionRecord *pRec = new ConnectionRecord();
  pRec->nSock = 5;
  pRec->bKeepAlive = 1;
  pRec->mLocalName.Assign("proxy.example");
  pRec->mClientIP.Assign("2001:db8::7");
  FILE *fp = fmemopen(data.data(), data.size(), "rb");
  if (fp == nullptr) return 0;
  std::vector<char> out(nOutSize);
  std::size_t nLen = 0;
  int bEnd = 0;
  if (RewriteResponseHeader(pRec, fp, "HTTP/1.1", nMode, out.data(), out.size(), &nLen, &bEnd)) {
    FUZZ_CHECK(nLen < out.size() && out[nLen] == '\0');
    long nPos = ftell(fp);
    FUZZ_CHECK(nPos >= 0 && static_cast<std::size_t>(nPos) <= data.size());
  } else {
    FUZZ_CHECK(nLen == 0 && ftell(fp) == 0);
  }
  fclose(fp);
  return 0;
}
