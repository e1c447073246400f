// The mail relay's line rules on bytes from a client or a server: the
// completion scan of commands and replies (SMTP, POP3 multi-line replies,
// IMAP literals and tags) and the SMTP body rewriting must give the same
// result whether the bytes come whole or cut at any point, and the body
// rewriting must never let a line "." through before the real end.  The
// command classification and the reply filters run on every line.
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "relay/relay_text.h"

namespace {

struct ScanResult {
  int bDone;
  std::size_t nUsed;
  int bContinuation, nCode, nLines;
  std::size_t nLongest;
  long long nSyncLiteral;
  int bBadLiteral;
  bool operator==(const ScanResult &) const = default;
};

// Feeds data cut at nCut (n: whole) and reports the outcome.
ScanResult Scan(const LineScan &init, const std::string &data, std::size_t nCut) {
  LineScan scan = init;
  std::size_t nUsed = 0, nTotal = 0;
  int bDone = 0;
  std::size_t nPieces[2] = {nCut, data.size() - nCut};
  for (std::size_t i = 0, nAt = 0; i < 2 && !bDone; nAt += nPieces[i], ++i) {
    bDone = LineScanFeed(&scan, data.data() + nAt, nPieces[i], &nUsed);
    FUZZ_CHECK(nUsed <= nPieces[i]);
    nTotal += nUsed;
  }
  return {bDone, nTotal, scan.bContinuation, scan.nCode, scan.nLines, scan.nLongest,
          scan.nSyncLiteral, scan.bBadLiteral};
}

// SMTP body cut at nCut: the rewritten output, the bytes used, done.
std::string Body(const std::string &data, std::size_t nCut, std::size_t *pnUsed, int *pbDone) {
  SmtpBody body;
  SmtpBodyInit(&body);
  std::string out;
  std::vector<char> buf(2 * data.size() + 3);
  *pnUsed = 0;
  *pbDone = 0;
  std::size_t nPieces[2] = {nCut, data.size() - nCut};
  for (std::size_t i = 0, nAt = 0; i < 2 && !*pbDone; nAt += nPieces[i], ++i) {
    std::size_t nOut = 0, nUsed = 0;
    *pbDone = SmtpBodyFeed(&body, data.data() + nAt, nPieces[i], buf.data(), &nOut, &nUsed);
    FUZZ_CHECK(nOut <= 2 * nPieces[i] + 3 && nUsed <= nPieces[i]);
    out.append(buf.data(), nOut);
    *pnUsed += nUsed;
  }
  return out;
}

// Cuts tested: every one for inputs up to this size, a spread beyond.
constexpr std::size_t kEveryCut = 1024;

std::size_t NextCut(std::size_t nCut, std::size_t n) {
  return n <= kEveryCut ? nCut + 1 : nCut + 1 + n / kEveryCut;
}

void CheckBody(const std::string &data) {
  std::size_t nUsed;
  int bDone;
  std::string out = Body(data, data.size(), &nUsed, &bDone);
  // CR only in CR LF; the first line "." is the end and nothing follows it.
  for (std::size_t i = 0; i < out.size(); ++i) {
    if (out[i] == '\r') FUZZ_CHECK(i + 1 < out.size() && out[i + 1] == '\n');
    if (out[i] == '\n') FUZZ_CHECK(i > 0 && out[i - 1] == '\r');
    if (out[i] == '.' && (i == 0 || out[i - 1] == '\n') && out.compare(i, 3, ".\r\n") == 0)
      FUZZ_CHECK(bDone && i + 3 == out.size());
  }
  if (bDone) FUZZ_CHECK(out.size() >= 3 && out.compare(out.size() - 3, 3, ".\r\n") == 0);
  for (std::size_t nCut = 0; nCut <= data.size(); nCut = NextCut(nCut, data.size())) {
    std::size_t nUsedCut;
    int bDoneCut;
    FUZZ_CHECK(Body(data, nCut, &nUsedCut, &bDoneCut) == out);
    FUZZ_CHECK(nUsedCut == nUsed && bDoneCut == bDone);
  }
}

void CheckLines(int nProto, const std::string &data) {
  std::size_t nAt = 0;
  while (nAt < data.size()) {
    std::size_t nEnd = data.find('\n', nAt);
    nEnd = nEnd == std::string::npos ? data.size() : nEnd + 1;
    std::string line = data.substr(nAt, nEnd - nAt);
    nAt = nEnd;
    CommandClass cls;
    ClassifyCommand(nProto, line.c_str(), &cls);
    char szSmall[8], szLarge[kLineHeadSize];
    ImapTagOf(line.c_str(), szSmall, sizeof szSmall);
    ImapTagOf(line.c_str(), szLarge, sizeof szLarge);
    FUZZ_CHECK(strlen(szSmall) < sizeof szSmall);
    MailAddress(line.c_str(), szSmall, sizeof szSmall);
    MailAddress(line.c_str(), szLarge, sizeof szLarge);
    long nLines = 0;
    TopLineCount(line.c_str(), &nLines);
    int nCode = ReplyCode(line.c_str());
    FUZZ_CHECK(nCode >= 0 && nCode <= 999);
    // In place with the rest of the reply behind it, as the relay does.
    std::vector<char> work(line.begin(), line.end());
    work.push_back('\0');
    FUZZ_CHECK(FilterImapCapability(work.data(), line.size()) <= line.size());
  }
}

void CheckFilters(const std::string &data, int bOffer) {
  // The relay's work buffer: the reply, NUL, room up to nCap.
  std::size_t nCap = data.size() + 16;
  for (int nProto : {kProtoSmtp, kProtoPop3}) {
    std::vector<char> work(nCap + 1, '\0');
    memcpy(work.data(), data.data(), data.size());
    std::size_t n = nProto == kProtoSmtp ? FilterEhloReply(work.data(), data.size(), nCap, bOffer)
                                         : FilterCapaReply(work.data(), data.size(), nCap, bOffer);
    FUZZ_CHECK(n <= nCap);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pData, size_t nSize) {
  FuzzInput in{pData, nSize};
  unsigned nSel = in.Byte();
  int nProto = static_cast<int>(nSel & 3) + 1;
  int nKind = static_cast<int>((nSel >> 2) & 3) % 3;
  int bClient = (nSel >> 4) & 1;
  int bMultiLine = (nSel >> 5) & 1;
  std::string tag = nProto == kProtoImap4 ? in.Text() : std::string();
  std::string data = in.Rest();

  LineScan init;
  LineScanInit(&init, nProto, nKind, bClient, bMultiLine, tag.c_str());
  ScanResult whole = Scan(init, data, data.size());
  FUZZ_CHECK(whole.bDone || whole.nUsed == data.size());
  for (std::size_t nCut = 0; nCut < data.size(); nCut = NextCut(nCut, data.size()))
    FUZZ_CHECK(Scan(init, data, nCut) == whole);

  if (nProto == kProtoSmtp && bClient) CheckBody(data);
  CheckLines(nProto, data);
  CheckFilters(data, (nSel >> 6) & 1);
  return 0;
}
