#include "core/lists.h"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/fixed_text.h"
#include "base/limits.h"
#include "core/metrics.h"
#include "core/number_text.h"
#include "core/settings.h"
#include "core/text_lines.h"
#include "platform/plat_file.h"

namespace {

// ---------------------------------------------------------------------------
// Reading list files
// ---------------------------------------------------------------------------

// Comment characters: a line starting with one of these is skipped.  Files
// whose comment set includes CR, LF or NUL skip empty lines as well (a line
// starting with CR or LF is empty once cut at its line end).
constexpr const char *kQuoteComments = " \"'";   // space, double and single quote
constexpr const char *kWhiteListComments = " '"; // client white list: no double quote

enum class EmptyLine { kSkip, kEntry };

// Reads szPath from the top, one line of at most N-1 characters at a time
// (a longer line arrives in pieces, each treated as a line; a line of
// exactly N-1 characters is one line), cuts each at its first CR or LF and
// hands every line that is not a comment to fnLine(char *szLine), which may
// modify the line and returns nonzero to stop reading.  *pEntries, when
// given, counts the lines handed over.  Returns -1 when the file cannot be
// opened, 1 when fnLine stopped the reading, 0 at the end of the file.
template <std::size_t N, typename Fn>
int ScanListFile(const char *szPath, const char *szComments, EmptyLine eEmpty, Fn fnLine, int *pEntries = nullptr) {
  return ScanTextFile<N>(szPath, LineRules{LongLine::kSplit, szComments, eEmpty == EmptyLine::kEntry}, fnLine,
                         pEntries);
}

// ---------------------------------------------------------------------------
// Text patterns
// ---------------------------------------------------------------------------

constexpr std::size_t kNotFound = static_cast<std::size_t>(-1);

inline unsigned char Lower(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  return (u >= 'A' && u <= 'Z') ? static_cast<unsigned char>(u + ('a' - 'A')) : u;
}

inline bool EqualNoCase(const char *a, const char *b, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

// How a segment is searched in the text.
enum class Search {
  // A correct substring search: the true first occurrence.
  kBackUp,
  // The plain left-to-right scan: after a partial match fails at some
  // character, the scan resumes at the character after that one (it does
  // not back up into the partial match), so it can miss an occurrence or
  // find a later one.
  kPlain,
};

// Position of the first occurrence of pSeg[0..nSeg) in pText[nFrom..nText),
// or kNotFound.  An empty segment is found where the search starts.
std::size_t FindSegment(const char *pText, std::size_t nText, std::size_t nFrom, const char *pSeg, std::size_t nSeg,
                        Search eSearch) {
  if (nSeg == 0) return nFrom;
  if (eSearch == Search::kBackUp) {
    for (std::size_t i = nFrom; i + nSeg <= nText; ++i)
      if (EqualNoCase(pText + i, pSeg, nSeg)) return i;
    return kNotFound;
  }
  std::size_t j = 0;
  for (std::size_t i = nFrom; i < nText; ++i) {
    if (Lower(pText[i]) == Lower(pSeg[j])) {
      if (++j == nSeg) return i + 1 - nSeg;
    } else {
      j = 0;
    }
  }
  return kNotFound;
}

// One left-to-right pass of the pattern over the text, searching the
// segments between "*" with eSearch.
int MatchPass(const char *szPattern, const char *szText, Search eSearch) {
  std::size_t nText = strlen(szText);
  const char *pStar = strchr(szPattern, '*');
  if (!pStar) return strlen(szPattern) == nText && EqualNoCase(szPattern, szText, nText);

  // The part before the first "*" must begin the text.
  std::size_t nPrefix = static_cast<std::size_t>(pStar - szPattern);
  if (nPrefix > nText || !EqualNoCase(szText, szPattern, nPrefix)) return 0;
  std::size_t nPos = nPrefix;
  const char *pSeg = pStar + 1;
  for (;;) {
    const char *pNext = strchr(pSeg, '*');
    std::size_t nSeg = pNext ? static_cast<std::size_t>(pNext - pSeg) : strlen(pSeg);
    std::size_t nAt = FindSegment(szText, nText, nPos, pSeg, nSeg, eSearch);
    if (!pNext) {
      // The last segment: empty (the pattern ends with "*") matches any
      // rest; otherwise its first occurrence must be exactly the tail.
      return nSeg == 0 || (nAt != kNotFound && nAt + nSeg == nText);
    }
    if (nAt == kNotFound) return 0;
    nPos = nAt + nSeg;
    pSeg = pNext + 1;
  }
}

int TextMatchConst(const char *szPattern, const char *szText) {
  // Segments are searched with backing up, so "*ab" matches "xaab", which
  // the plain scan misses.  Because the last segment must be the first
  // occurrence found, backing up alone could lose a match the plain scan
  // finds ("*ab" on "aabab": the plain scan skips the "ab" at 1 and finds
  // the tail; the correct search stops at 1).  The plain pass is therefore
  // tried as well, so every text the plain scan accepts is still accepted.
  if (MatchPass(szPattern, szText, Search::kBackUp)) return 1;
  return strchr(szPattern, '*') && MatchPass(szPattern, szText, Search::kPlain);
}

// ---------------------------------------------------------------------------
// Address patterns
// ---------------------------------------------------------------------------

inline bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Reads a decimal number of 1..nMaxDigits digits not above nMax at *pp and
// advances *pp past it.  -1 when there is none or it is out of range.
int ReadDecimal(const char **pp, int nMaxDigits, int nMax) {
  const char *p = *pp;
  uint64_t nValue = 0;
  int nDigits = ReadDecimalDigits(&p, nMaxDigits + 1, kDecimalStop, &nValue);
  if (nDigits == 0 || nDigits > nMaxDigits || nValue > static_cast<uint64_t>(nMax)) return -1;
  *pp = p;
  return static_cast<int>(nValue);
}

// Parses exactly "a.b.c.d" from p up to pEnd.  1 done, 0 malformed.
int ParseDottedQuad(const char *p, const char *pEnd, int nOctets[4]) {
  for (int i = 0; i < 4; ++i) {
    if (i > 0) {
      if (p >= pEnd || *p != '.') return 0;
      ++p;
    }
    if (p >= pEnd) return 0;
    nOctets[i] = ReadDecimal(&p, 3, 255);
    if (nOctets[i] < 0 || p > pEnd) return 0;
  }
  return p == pEnd;
}

// Recognises "a.b.c.d/n" with n from 0 to 32.
int ParseIPv4Prefix(const char *szPattern, int nOctets[4], int *pBits) {
  const char *pSlash = strchr(szPattern, '/');
  if (!pSlash || !ParseDottedQuad(szPattern, pSlash, nOctets)) return 0;
  const char *p = pSlash + 1;
  *pBits = ReadDecimal(&p, 2, 32);
  return *pBits >= 0 && *p == '\0';
}

int IPv4PrefixMatch(const int nPat[4], int nBits, const char *szAddress) {
  if (nBits == 0) return 1;  // every address
  if (nBits == 32) {         // exactly this address
    int nAddr[4];
    return ParseDottedQuad(szAddress, szAddress + strlen(szAddress), nAddr) && nAddr[0] == nPat[0] &&
           nAddr[1] == nPat[1] && nAddr[2] == nPat[2] && nAddr[3] == nPat[3];
  }
  // k whole octets follow the first varying one; that octet takes V values
  // from the pattern's own octet L upwards (2^(32-n) / 256^k).
  int k = (31 - nBits) / 8;
  int nVary = 3 - k;
  int nValues = 1 << (32 - nBits - 8 * k);
  const char *p = szAddress;
  for (int i = 0; i < nVary; ++i) {
    if (ReadDecimal(&p, 3, 255) != nPat[i] || *p != '.') return 0;
    ++p;
  }
  int nOctet = ReadDecimal(&p, 3, 255);
  if (nOctet < 0 || (*p != '.' && *p != '\0')) return 0;  // later octets are not compared
  return nOctet >= nPat[nVary] && nOctet <= nPat[nVary] + nValues - 1;
}

constexpr int kIPv6Groups = 8;
constexpr std::size_t kIPv6TextLen = 39;  // 8 groups of 4 digits and 7 colons

// Splits p..pEnd into ":"-separated groups of 1..4 hexadecimal digits,
// stored right-aligned and padded with "0" (case kept).  When bMayEndIPv4,
// the last group may be a dotted IPv4 address, stored as two groups.  An
// empty p..pEnd gives no groups.  Returns the group count or -1.
int ParseGroups(const char *p, const char *pEnd, bool bMayEndIPv4, char szGroups[][4], int nMax) {
  int n = 0;
  if (p == pEnd) return 0;
  for (;;) {
    const char *q = p;
    while (q < pEnd && *q != ':') ++q;
    if (q == p) return -1;  // empty group
    if (memchr(p, '.', static_cast<std::size_t>(q - p))) {
      int nOctets[4];
      if (!bMayEndIPv4 || q != pEnd || n + 2 > nMax || !ParseDottedQuad(p, q, nOctets)) return -1;
      static const char kHex[] = "0123456789abcdef";
      for (int g = 0; g < 2; ++g) {
        int hi = nOctets[2 * g], lo = nOctets[2 * g + 1];
        szGroups[n][0] = kHex[hi >> 4];
        szGroups[n][1] = kHex[hi & 15];
        szGroups[n][2] = kHex[lo >> 4];
        szGroups[n][3] = kHex[lo & 15];
        ++n;
      }
      return n;
    }
    std::size_t nDigits = static_cast<std::size_t>(q - p);
    if (nDigits > 4 || n >= nMax) return -1;
    for (std::size_t i = 0; i < nDigits; ++i)
      if (HexValue(p[i]) < 0) return -1;
    memset(szGroups[n], '0', 4);
    memcpy(szGroups[n] + 4 - nDigits, p, nDigits);
    ++n;
    if (q == pEnd) return n;
    p = q + 1;
    if (p == pEnd) return -1;  // trailing ":"
  }
}

// Expands the IPv6 text p..pEnd to the 39-character form in szOut[40].
// 1 done, 0 malformed.
int ExpandIPv6(const char *p, const char *pEnd, char szOut[kIPv6TextLen + 1]) {
  char szHead[kIPv6Groups][4], szTail[kIPv6Groups][4];
  int nHead, nTail = 0;
  const char *pDouble = nullptr;
  for (const char *q = p; q + 1 < pEnd; ++q) {
    if (q[0] == ':' && q[1] == ':') {
      pDouble = q;
      break;
    }
  }
  if (pDouble) {
    nHead = ParseGroups(p, pDouble, false, szHead, kIPv6Groups);
    nTail = ParseGroups(pDouble + 2, pEnd, true, szTail, kIPv6Groups);
    // "::" stands for at least one group of zeros.
    if (nHead < 0 || nTail < 0 || nHead + nTail > kIPv6Groups - 1) return 0;
  } else {
    nHead = ParseGroups(p, pEnd, true, szHead, kIPv6Groups);
    if (nHead != kIPv6Groups) return 0;
  }
  char *pOut = szOut;
  for (int i = 0; i < kIPv6Groups; ++i) {
    const char *pGroup = "0000";
    if (i < nHead)
      pGroup = szHead[i];
    else if (i >= kIPv6Groups - nTail)
      pGroup = szTail[i - (kIPv6Groups - nTail)];
    if (i > 0) *pOut++ = ':';
    memcpy(pOut, pGroup, 4);
    pOut += 4;
  }
  *pOut = '\0';
  return 1;
}

int IPv6Match(const char *szPattern, const char *szAddress) {
  const char *pEnd = szPattern + strlen(szPattern);
  const char *pSlash = strchr(szPattern, '/');
  int nBits = -1;  // no prefix length: whole address
  if (pSlash) {
    const char *p = pSlash + 1;
    nBits = ReadDecimal(&p, 3, 128);
    if (nBits < 0 || *p != '\0') return 0;
    if (nBits == 0) return 1;  // every address
    pEnd = pSlash;
  }
  char szPat[kIPv6TextLen + 1], szAddr[kIPv6TextLen + 1];
  if (!ExpandIPv6(szPattern, pEnd, szPat)) return 0;
  if (!ExpandIPv6(szAddress, szAddress + strlen(szAddress), szAddr)) return 0;
  if (nBits < 0) return memcmp(szPat, szAddr, kIPv6TextLen) == 0;
  // The first n/4 digits and the colons among them compare with exact case;
  // a partial digit compares as a range of values.
  std::size_t nSame = static_cast<std::size_t>(nBits / 4 + nBits / 16);
  if (nSame > kIPv6TextLen) nSame = kIPv6TextLen;
  if (memcmp(szPat, szAddr, nSame) != 0) return 0;
  if (nBits % 4 == 0) return 1;
  int nLow = HexValue(szPat[nSame]);
  int nValue = HexValue(szAddr[nSame]);
  return nValue >= nLow && nValue <= nLow + (1 << (4 - nBits % 4)) - 1;
}

int AddressMatchConst(const char *szPattern, const char *szAddress) {
  if (const char *pStar = strchr(szPattern, '*'))
    return strncmp(szAddress, szPattern, static_cast<std::size_t>(pStar - szPattern)) == 0;
  int nOctets[4], nBits;
  if (ParseIPv4Prefix(szPattern, nOctets, &nBits)) return IPv4PrefixMatch(nOctets, nBits, szAddress);
  if (strchr(szPattern, ':')) return IPv6Match(szPattern, szAddress);
  return strcmp(szPattern, szAddress) == 0;
}

// Lists keyed by "address:port" and matched with text patterns.
int KeyListed(const char *szPath, const char *szAddr, int nPort) {
  FixedText<kShortListLine + 64> key;
  // A cut key would be a different key: not listed.
  if (!key.Format("%s:%d", szAddr, nPort)) return 0;
  int nHit = ScanListFile<kShortListLine>(szPath, kQuoteComments, EmptyLine::kSkip,
                                          [&](char *szLine) { return TextMatchConst(szLine, key.c_str()); });
  return nHit == 1;
}

// Built-in ports used when there is no SOCKS protocol list.
struct SocksPortRule {
  int nPort;
  int nClass;
  int bPassThrough;
};
constexpr SocksPortRule kSocksBuiltIn[] = {
    {21, 4, 0},  {22, 6, 1},  {23, 6, 1},  {25, 1, 0},  {80, 0, 0},  {110, 2, 0},
    {143, 3, 0}, {443, 0, 1}, {465, 1, 1}, {993, 3, 1}, {995, 2, 1},
};
constexpr int kSocksClassMax = 6;  // 0 HTTP .. 6 other

// One line of the SOCKS protocol list against host and port.  Returns the
// class (0..6) when the rule applies, -1 when not or when it is malformed.
int SocksRule(char *szLine, const char *szHost, int bHostKnown, int nPort, int32_t *pPassThrough) {
  char *pComma = strchr(szLine, ',');
  if (!pComma) return -1;
  *pComma = '\0';
  // The split between host and port is the last ":" before the class.
  char *pColon = strrchr(szLine, ':');
  const char *pPort = pColon ? pColon + 1 : szLine;
  int nRulePort = ReadDecimal(&pPort, 5, 65535);
  if (nRulePort < 0 || *pPort != '\0' || nRulePort != nPort) return -1;

  const char *pNum = pComma + 1;
  int nClass = ReadDecimal(&pNum, 2, kSocksClassMax);
  pNum += strspn(pNum, " \t");
  if (nClass < 0 || (*pNum != '\0' && *pNum != ',')) return -1;

  if (pColon) {
    if (!bHostKnown) return -1;
    *pColon = '\0';
    char *pHost = szLine;
    std::size_t nHost = strlen(pHost);
    // "[v6 address]" carries its own colons.
    if (nHost >= 2 && pHost[0] == '[' && pHost[nHost - 1] == ']') {
      pHost[nHost - 1] = '\0';
      ++pHost;
    }
    if (*pHost == '\0' || !AddressMatchConst(pHost, szHost)) return -1;
  }
  if (*pNum == ',') {
    ++pNum;
    *pPassThrough = (ReadDecimal(&pNum, 1, 9) == 1) ? 1 : 0;
  }
  return nClass;
}

}  // namespace

int TextMatch(char *szPattern, const char *szText) { return TextMatchConst(szPattern, szText); }

int AddressMatch(char *szPattern, const char *szAddress) { return AddressMatchConst(szPattern, szAddress); }

int QueryDBList(const char *szPath, const char *szKey1, const char *szKey2) {
  // Plain "https://host:port/" targets are black-listed unless a white-list
  // lookup admitted them first.
  if (!szPath || !szKey1) return 0;
  if (strstr(szPath, "black.db") && TextMatchConst("https://*:*/", szKey1)) return 1;
  // Empty lines are skipped: a blank line must not list an empty key.
  int nHit = ScanListFile<kDbListLine>(szPath, kQuoteComments, EmptyLine::kSkip, [&](char *szLine) {
    return TextMatchConst(szLine, szKey1) || (szKey2 && TextMatchConst(szLine, szKey2));
  });
  return nHit == 1;
}

ListVerdict WhiteBlackVerdict(const char *szKey1, const char *szKey2) {
  FixedText<kPathSize> path;
  path.Format("%swhite.db", g_szDataDir.c_str());
  if (QueryDBList(path.c_str(), szKey1, szKey2) == 1) return kListWhite;
  path.Format("%sblack.db", g_szDataDir.c_str());
  if (QueryDBList(path.c_str(), szKey1, szKey2) != 1) return kListNone;
  MetricCount(kMetVerdictBlackList);
  return kListBlack;
}

int QueryConnectPerimisson(const char *szClient) {
  int nResult = 1;
  int nEntries = 0;
  int nHit = ScanListFile<kConListLine>(
      g_szConPermFile.c_str(), kQuoteComments, EmptyLine::kEntry,
      [&](char *szLine) {
        // "pattern[ word]": the word after the first space decides.
        // Blanks around the word are ignored, so "reject " still rejects.
        const char *szWord = "";
        if (char *pSpace = strchr(szLine, ' ')) {
          *pSpace = '\0';
          char *pWord = pSpace + 1 + strspn(pSpace + 1, " \t");
          pWord[strcspn(pWord, " \t")] = '\0';
          szWord = pWord;
        }
        // An empty line is an entry that matches nobody.
        if (szLine[0] == '\0' || !AddressMatchConst(szLine, szClient)) return 0;
        nResult = strcmp(szWord, "pass") == 0 ? 2 : strcmp(szWord, "reject") == 0 ? 0 : 1;
        return 1;
      },
      &nEntries);
  if (nHit == 1) return nResult;
  if (nHit < 0) return 1;         // no list: admit everybody
  return nEntries == 0 ? 1 : 0;  // only comments: admit everybody
}

int ClientWhiteListed(const char *szClient) {
  int nHit = ScanListFile<kShortListLine>(g_szConwlFile.c_str(), kWhiteListComments, EmptyLine::kSkip,
                                          [&](char *szLine) { return AddressMatchConst(szLine, szClient); });
  return nHit == 1;
}

int ZipListed(const char *szAddr, int nPort) { return KeyListed(g_szZipFile.c_str(), szAddr, nPort); }

int LogMasked(const char *szAddr, int nPort) { return KeyListed(g_szAccessLogMask.c_str(), szAddr, nPort); }

int Query_SocksProtocol(const char *szDest, int nPort, int32_t *pPassThrough) {
  *pPassThrough = 0;
  int nClass = -1;
  // The host is the destination text before its first space.  A host too
  // long to hold cannot be compared: only port rules apply to it.
  FixedText<kPathSize> host;
  int bHostKnown = host.Assign(std::string_view(szDest, strcspn(szDest, " ")));

  int nRead = ScanListFile<kSocksPtlLine>(g_szSocksPtlFile.c_str(), kQuoteComments, EmptyLine::kSkip,
                                          [&](char *szLine) {
                                            int32_t nPass = 0;
                                            int n = SocksRule(szLine, host.c_str(), bHostKnown, nPort, &nPass);
                                            if (n < 0) return 0;
                                            nClass = n;
                                            *pPassThrough = nPass;
                                            return 1;
                                          });
  if (nRead < 0) {
    for (const SocksPortRule &rule : kSocksBuiltIn) {
      if (rule.nPort == nPort) {
        nClass = rule.nClass;
        *pPassThrough = rule.bPassThrough;
        break;
      }
    }
  }
  if (nClass < 0) {
    // Other ports are FTP data connections when no port range is set or the
    // port lies within it.
    bool bNoRange = g_nPortLow == 0 && g_nPortHigh == 0;
    if (bNoRange || (nPort >= g_nPortLow && nPort <= g_nPortHigh)) nClass = 5;
  }
  return nClass;
}
