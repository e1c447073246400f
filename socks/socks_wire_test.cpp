#include "socks/socks_wire.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<unsigned char> Hex(const std::string &s) {
  std::vector<unsigned char> out;
  for (std::size_t i = 0; i + 1 < s.size(); i += 2) out.push_back(static_cast<unsigned char>(std::stoi(s.substr(i, 2), nullptr, 16)));
  return out;
}

std::string ToHex(const char *p, int n) {
  static const char kDigits[] = "0123456789abcdef";
  std::string s;
  for (int i = 0; i < n; ++i) {
    unsigned char c = static_cast<unsigned char>(p[i]);
    s += kDigits[c >> 4];
    s += kDigits[c & 15];
  }
  return s;
}

// A SOCKS 5 request for a domain name of the given length.
std::vector<unsigned char> NameRequest(std::size_t nName, int nPort = 80) {
  std::vector<unsigned char> v = {5, 1, 0, 3, static_cast<unsigned char>(nName)};
  for (std::size_t i = 0; i < nName; ++i) v.push_back(static_cast<unsigned char>('a' + i % 26));
  v.push_back(static_cast<unsigned char>(nPort >> 8));
  v.push_back(static_cast<unsigned char>(nPort & 255));
  return v;
}

TEST(SocksGreetingTest, Completeness) {  // length when complete, 0 need more bytes, -1 never
  static const struct {
    const char *szHex;
    int nWant;
  } kCases[] = {
      {"", 0},
      {"040100500a000001", 0},                                  // no user ID yet
      {"040100500a00000100", 9},                                // empty user ID
      {"040100500a000001757365720000", 13},                     // user ID, extra byte
      {"040100500a00000175736572", 0},                          // user ID not ended
      {"0401005000000001757300", 0},                            // 4a: host missing
      {"04010050000000017573006578", 0},                        // 4a: host not ended
      {"0401005000000001757300657800", 14},                      // 4a complete
      {"040100500000000100657800", 12},                          // 4a, empty user ID
      {"05", 0},
      {"0502", 0},                                              // methods missing
      {"050200", 0},                                            // one of two methods
      {"05020002", 4},
      {"0500", 2},                                              // no methods at all
      {"0501000000", 3},                                        // bytes beyond
      {"47455420", -1},                                         // "GET ": not SOCKS
      {"00", -1},
  };
  for (const auto &c : kCases) {
    auto v = Hex(c.szHex);
    EXPECT_EQ(c.nWant, SocksGreetingComplete(v.data(), v.size())) << c.szHex;
  }
}

TEST(SocksGreetingTest, UnterminatedUserIdStopsAtTheLimit) {
  std::vector<unsigned char> v = {4, 1, 0, 80, 10, 0, 0, 1};
  v.resize(kSocksMsgMax - 1, 'u');
  EXPECT_EQ(0, SocksGreetingComplete(v.data(), v.size()));
  v.push_back('u');
  EXPECT_EQ(-1, SocksGreetingComplete(v.data(), v.size()));
}

TEST(Socks4RequestTest, ParseRequest) {
  static const struct {
    const char *szHex;
    int nWant;
    int nCmd;
    int nPort;
    const char *szHost;
    const char *szTarget;
    int bUserIdEmpty;
  } kCases[] = {
      {"040100500a00000100", 1, 1, 80, "10.0.0.1", "10.0.0.1 80", 1},
      {"04020015c0a80102616c69636500", 1, 2, 21, "192.168.1.2", "192.168.1.2 21", 0},
      // 4a: the host name follows the user ID; the address text stays the
      // dotted DSTIP.
      {"040101bb000000ff6a6f6500" "6578616d706c652e636f6d00", 1, 1, 443, "0.0.0.255", "example.com 443", 0},
      {"04010050000000010000", -1, 1, 80, "0.0.0.1", "", 1},  // 4a with an empty host
  };
  for (const auto &c : kCases) {
    auto v = Hex(c.szHex);
    SocksRequest req;
    ASSERT_EQ(c.nWant, ParseSocks4Request(v.data(), v.size(), &req)) << c.szHex;
    if (c.nWant != 1) continue;
    EXPECT_EQ(4, req.nVersion);
    EXPECT_EQ(c.nCmd, req.nCmd);
    EXPECT_EQ(c.nPort, req.nPort);
    EXPECT_STREQ(c.szHost, req.mHost.c_str());
    EXPECT_STREQ(c.szTarget, req.mTarget.c_str());
    EXPECT_EQ(c.bUserIdEmpty, req.bUserIdEmpty);
    EXPECT_EQ(6, req.nAddrLen);
  }
}

TEST(Socks4RequestTest, HostNameLimit) {
  auto Make = [](std::size_t nName) {
    std::vector<unsigned char> v = {4, 1, 0, 80, 0, 0, 0, 1, 0};
    v.insert(v.end(), nName, 'h');
    v.push_back(0);
    return v;
  };
  SocksRequest req;
  auto v = Make(240);
  EXPECT_EQ(1, ParseSocks4Request(v.data(), v.size(), &req));
  v = Make(256);
  EXPECT_EQ(-1, ParseSocks4Request(v.data(), v.size(), &req));
  // 255 bytes are the longest name, and "name 80" fits the target.
  v = Make(255);
  EXPECT_EQ(1, ParseSocks4Request(v.data(), v.size(), &req));
  EXPECT_EQ(std::string(255, 'h') + " 80", req.mTarget.c_str());
}

TEST(Socks5RequestTest, Completeness) {
  static const struct {
    const char *szHex;
    int nWant;
  } kCases[] = {
      {"050100", 0},
      {"05010001", 0},
      {"050100017f000001", 0},
      {"050100017f0000010050", 10},
      {"0501000307", 0},
      {"0501000307657861", 0},
      {"05010003036162630050", 10},
      {"0501000400000000000000000000000000000001", 0},
      {"05010004000000000000000000000000000000010050", 22},
      {"05010002", -1},         // unknown address type
      {"0501000500", -1},
      {"040100017f0000010050", -1},  // wrong version
  };
  for (const auto &c : kCases) {
    auto v = Hex(c.szHex);
    EXPECT_EQ(c.nWant, Socks5RequestComplete(v.data(), v.size())) << c.szHex;
  }
}

TEST(Socks5RequestTest, ParseRequest) {
  static const struct {
    const char *szHex;
    int nWant;
    int nAtyp;
    int nAddrLen;
    int nPort;
    const char *szHost;
    const char *szTarget;
  } kCases[] = {
      {"050100017f0000010050", 1, 1, 6, 80, "127.0.0.1", "127.0.0.1 80"},
      {"0501000307" "6578616d706c65" "006e", 1, 3, 10, 110, "example", "example 110"},
      // IPv6 with zero groups: every group spelt with four digits.
      {"05010004" "20010db8000000000000000000000001" "01bb", 1, 4, 18, 443,
       "2001:0db8:0000:0000:0000:0000:0000:0001", "2001:0db8:0000:0000:0000:0000:0000:0001 443"},
      {"05010003000050", -1, 0, 0, 0, "", ""},        // empty name
      {"050100030361006200500", -1, 0, 0, 0, "", ""},  // NUL inside the name
  };
  for (const auto &c : kCases) {
    auto v = Hex(c.szHex);
    SocksRequest req;
    ASSERT_EQ(c.nWant, ParseSocks5Request(v.data(), v.size(), &req)) << c.szHex;
    if (c.nWant != 1) continue;
    EXPECT_EQ(c.nAtyp, req.nAtyp);
    EXPECT_EQ(c.nAddrLen, req.nAddrLen);
    EXPECT_EQ(c.nPort, req.nPort);
    EXPECT_STREQ(c.szHost, req.mHost.c_str());
    EXPECT_STREQ(c.szTarget, req.mTarget.c_str());
  }
}

TEST(Socks5RequestTest, NameLengthLimits) {
  SocksRequest req;
  // The longest name the length octet allows, with the longest port: the
  // target "name 65535" fits.
  auto v = NameRequest(255, 65535);
  ASSERT_EQ(262u, v.size());
  EXPECT_EQ(262, Socks5RequestComplete(v.data(), v.size()));
  EXPECT_EQ(0, Socks5RequestComplete(v.data(), v.size() - 1));
  EXPECT_EQ(1, ParseSocks5Request(v.data(), v.size(), &req));
  EXPECT_EQ(255u, req.mHost.Length());
  EXPECT_EQ(258, req.nAddrLen);
  EXPECT_EQ(261u, req.mTarget.Length());
}

TEST(Socks5MethodTest, ChooseMethod) {
  static const struct {
    const char *szHex;
    int bAuth;
    int nWant;
  } kCases[] = {
      {"05020002", 0, 0x00}, {"05020002", 1, 0x02}, {"050101", 0, 0xFF}, {"050101", 1, 0xFF},
      {"050100", 1, 0x02},   // only "no authentication" while credentials are demanded
      {"050102", 0, 0x00},   // only username/password while none are demanded
      {"05040180fe02", 0, 0x00}, {"05030180fe02", 0, 0xFF},
      {"0500", 0, 0xFF},
      {"05010200", 0, 0x00},  // a byte beyond NMETHODS is no method: 02 is
      {"0501fe02", 0, 0xFF},  // ...and here the 02 lies beyond NMETHODS
  };
  for (const auto &c : kCases) {
    auto v = Hex(c.szHex);
    EXPECT_EQ(c.nWant, ChooseSocks5Method(v.data(), v.size(), c.bAuth)) << c.szHex;
  }
}

TEST(SocksAuthTest, CompleteAndParse) {
  static const struct {
    const char *szHex;
    int nComplete;
    int nParse;
    const char *szCred;
  } kCases[] = {
      {"01", 0, -1, ""},
      {"0104757365", 0, -1, ""},
      {"010475736572", 0, -1, ""},
      {"01047573657204706173", 0, -1, ""},
      {"0104757365720470617373", 11, 1, "user:pass"},
      {"010070617373", 0, -1, ""},
      {"0100" "00", 3, 1, ":"},
      {"0103610062" "0170", 7, -1, ""},  // NUL in the user name
  };
  for (const auto &c : kCases) {
    auto v = Hex(c.szHex);
    EXPECT_EQ(c.nComplete, SocksAuthComplete(v.data(), v.size())) << c.szHex;
    char szCred[600];
    EXPECT_EQ(c.nParse, ParseSocksAuth(v.data(), v.size(), szCred, sizeof szCred)) << c.szHex;
    if (c.nParse == 1) {
      EXPECT_STREQ(c.szCred, szCred);
    }
  }
}

TEST(SocksAuthTest, LongestUserAndPassword) {
  std::vector<unsigned char> v = {1, 255};
  v.insert(v.end(), 255, 'u');
  v.push_back(255);
  v.insert(v.end(), 255, 'p');
  char szCred[512];
  ASSERT_EQ(513, SocksAuthComplete(v.data(), v.size()));
  ASSERT_EQ(1, ParseSocksAuth(v.data(), v.size(), szCred, sizeof szCred));
  EXPECT_EQ(511u, strlen(szCred));
  EXPECT_EQ(-1, ParseSocksAuth(v.data(), v.size(), szCred, 511));  // no room: refused, not cut
}

TEST(SocksReplyTest, ReplyHeaderCopiesTheRequestAddress) {
  static const struct {
    const char *szReq;
    int nVersion;
    int nAddrLen;
    const char *szWant;
  } kCases[] = {
      {"040100500a00000175736572", 4, 6, "00000050" "0a000001"},
      {"050100017f0000010050", 5, 6, "05000001" "7f0000010050"},
      {"0501000307" "6578616d706c65" "006e", 5, 10, "05000003" "076578616d706c65006e"},
      {"05010004" "20010db8000000000000000000000001" "01bb", 5, 18,
       "05000004" "20010db8000000000000000000000001" "01bb"},
  };
  for (const auto &c : kCases) {
    auto v = Hex(c.szReq);
    char reply[kSocksReplyMax];
    int n = BuildSocksReplyHeader(v.data(), c.nVersion, c.nAddrLen, reply);
    EXPECT_EQ(c.szWant, ToHex(reply, n)) << c.szReq;
  }
}

TEST(SocksReplyTest, ReplyHeaderForALongestName) {
  auto v = NameRequest(255);
  char reply[kSocksReplyMax + 8];
  memset(reply, 0x77, sizeof reply);
  int n = BuildSocksReplyHeader(v.data(), 5, 258, reply);
  EXPECT_EQ(262, n);
  EXPECT_EQ(0, memcmp(reply + 4, v.data() + 4, 258));
  EXPECT_EQ(0x77, static_cast<unsigned char>(reply[kSocksReplyMax]));  // nothing beyond
}

TEST(SocksReplyTest, Refusals) {
  static const struct {
    int nVersion;
    int nCode;
    const char *szWant;
  } kCases[] = {
      {5, 1, "05010001000000000000"},
      {5, 2, "05020001000000000000"},
      {4, 91, "005b000000000000"},
      {4, 92, "005c000000000000"},
  };
  for (const auto &c : kCases) {
    char reply[kSocksReplyMax];
    int n = BuildSocksRefusal(c.nVersion, c.nCode, reply);
    EXPECT_EQ(c.szWant, ToHex(reply, n));
  }
}

TEST(SocksReplyTest, AddressReplies) {
  static const struct {
    int nVersion;
    int nCode;
    int nAtyp;
    const char *szAddr;
    int nPort;
    const char *szWant;
  } kCases[] = {
      {4, 90, 1, "127.0.0.1", 50001, "005ac351" "7f000001"},
      {4, 93, 1, "10.1", 1, "005d0001" "0a010000"},  // missing parts stay 0
      {5, 0, 1, "192.168.0.9", 1080, "05000001" "c0a80009" "0438"},
      {5, 0, 3, "10.0.0.1", 80, "05000003" "08" "31302e302e302e31" "0050"},
      {5, 0, 4, "::1", 80, "05000004" "00000000000000000000000000000001" "0050"},
      {5, 1, 4, "127.0.0.1", 80, "05010004" "00000000000000000000000000000000" "0050"},
  };
  for (const auto &c : kCases) {
    char reply[kSocksReplyMax];
    int n = BuildSocksAddrReply(c.nVersion, c.nCode, c.nAtyp, c.szAddr, c.nPort, reply);
    EXPECT_EQ(c.szWant, ToHex(reply, n)) << c.szAddr;
  }
}

TEST(SocksUdpHeaderTest, ParseHeader) {
  static const struct {
    const char *szHex;
    int nWant;
    int nHeaderLen;
    const char *szHost;
    int nPort;
  } kCases[] = {
      {"000000017f0000010035" "abcd", 1, 10, "127.0.0.1", 53},
      {"00000003036e73310035" "ab", 1, 10, "ns1", 53},
      {"00000004" "00000000000000000000000000000001" "0035", 1, 22, "0000:0000:0000:0000:0000:0000:0000:0001", 53},
      {"000001017f0000010035" "ab", 0, 0, "", 0},  // fragment
      {"000000017f00", -1, 0, "", 0},              // short
      {"00000003096e7331", -1, 0, "", 0},          // name runs past the end
      {"000000020000", -1, 0, "", 0},              // unknown type
      {"0000", -1, 0, "", 0},
  };
  for (const auto &c : kCases) {
    auto v = Hex(c.szHex);
    SocksRequest hdr;
    ASSERT_EQ(c.nWant, ParseSocksUdpHeader(v.data(), v.size(), &hdr)) << c.szHex;
    if (c.nWant != 1) continue;
    EXPECT_EQ(c.nHeaderLen, hdr.nHeaderLen);
    EXPECT_STREQ(c.szHost, hdr.mHost.c_str());
    EXPECT_EQ(c.nPort, hdr.nPort);
  }
}

TEST(BinaryDumpTest, LayoutAndCut) {
  char szOut[kBinaryDumpMax + 64];
  const unsigned char kBytes[17] = {0x05, 0x01, 0x00, 0xff, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  FormatBinaryDump(7, kBytes, 17, szOut, sizeof szOut);
  EXPECT_STREQ(
      "[BinaryDump] [0007]\n"
      "  05 01 00 ff 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f \n"
      "  10 \n",
      szOut);
  std::vector<unsigned char> big(4096, 0xab);
  std::size_t n = FormatBinaryDump(7, big.data(), big.size(), szOut, sizeof szOut);
  EXPECT_EQ(kBinaryDumpMax, n);
  EXPECT_EQ(kBinaryDumpMax, strlen(szOut));
  FormatBinaryDump(7, kBytes, 0, szOut, sizeof szOut);
  EXPECT_STREQ("[BinaryDump] [0007]\n", szOut);
}

}  // namespace
