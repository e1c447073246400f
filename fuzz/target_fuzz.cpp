// HTTP request lines as clients send them, analysed the way the request
// dispatch does: version, URL form, ftp:// URL parts, list key, response
// spool name, host and port, and the percent decoding of the ftp path.
#include <cstring>
#include <memory>
#include <string>

#include "base/limits.h"
#include "ftp/ftp_client.h"
#include "fuzz/fuzz_input.h"
#include "http/target.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pData, size_t nSize) {
  FuzzInput in{pData, nSize};
  unsigned nSel = in.Byte();
  int nHandler = (nSel & 1) ? kHandlerOther : kHandlerGet;
  int bSocks = (nSel >> 1) & 1;
  std::string host = bSocks ? in.Text() : std::string();
  std::string line = in.Rest();
  // The request line buffer of the connection.
  if (line.size() >= kLineBufSize || host.size() >= kLineBufSize) return 0;

  auto pT = std::make_unique<RequestTarget>();
  if (AnalyzeRequestTarget(line.c_str(), nHandler, bSocks, host.c_str(), "192.0.2.1", pT.get()) != 1) return 0;
  FUZZ_CHECK(pT->nPort >= 0 && pT->nPort <= 65535);

  char szSpool[kSpoolPathSize];
  int bLongLink = 0;
  if (MakeResponseSpoolName("/var/lib/proxy/", 0, 12, pT->mHost.c_str(), szSpool, sizeof szSpool - 8, &bLongLink))
    FUZZ_CHECK(strlen(szSpool) < sizeof szSpool - 8);
  if (!pT->bFtp) {
    SplitHostPort(pT.get(), nHandler != kHandlerGet);
  } else {
    SplitHostPort(pT.get(), 0);
    std::string path = std::string(pT->mFtpDir.c_str()) + pT->mFtpFile.c_str();
    char szPath[kFtpPathSize];
    FtpPercentDecode(path.c_str(), szPath, sizeof szPath);
    FUZZ_CHECK(strlen(szPath) < sizeof szPath);
  }
  FUZZ_CHECK(pT->nPort >= 0 && pT->nPort <= 65535);
  return 0;
}
