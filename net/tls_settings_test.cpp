#include "net/tls_settings.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "core/settings.h"

namespace {

TEST(TlsLineTest, MarkerNamesAndKeys) {
  static const struct {
    const char *szLine;
    int nWant;
    const char *szCert, *szKey;
  } kCases[] = {
      {"192.0.2.7 465+/etc/c.pem\t/etc/k.pem", 1, "/etc/c.pem", "/etc/k.pem"},
      {"192.0.2.7 25-/etc/c.pem\t/etc/k.pem", 0, "/etc/c.pem", "/etc/k.pem"},
      {"192.0.2.7 465+/etc/c.pem\t/etc/k.pem=,server 465+", 1, "/etc/c.pem", "/etc/k.pem"},
      {"192.0.2.7 465+/etc/c.pem", 1, "", ""},              // no TAB: no names
      {"192.0.2.7 465+/etc/my-c.pem\t/etc/k.pem", 1, "/etc/my-c.pem", "/etc/k.pem"},  // first "+" wins
      {"192.0.2.7 465=,server 465+", -1, "", ""},           // "=" cuts before any marker
      {"192.0.2.8 465+/etc/c.pem\t/etc/k.pem", -1, "", ""}, // another client
      {"192.0.2.7 4650+c\tk", -1, "", ""},                  // another port
  };
  for (const auto &c : kCases) {
    char szLine[1024];
    snprintf(szLine, sizeof szLine, "%s", c.szLine);
    FixedText<261> cert;
    FixedText<263> key;
    cert.Assign("stale");
    key.Assign("stale");
    int nKeyPort = strstr(c.szLine, " 25-") ? 25 : 465;
    char szPlus[64], szMinus[64];
    snprintf(szPlus, sizeof szPlus, "192.0.2.7 %d+", nKeyPort);
    snprintf(szMinus, sizeof szMinus, "192.0.2.7 %d-", nKeyPort);
    EXPECT_EQ(c.nWant, MatchTlsLine(szLine, szPlus, szMinus, &cert, &key)) << c.szLine;
    EXPECT_STREQ(c.szCert, cert.c_str()) << c.szLine;
    EXPECT_STREQ(c.szKey, key.c_str()) << c.szLine;
  }
  // A certificate name longer than its field leaves both names empty.
  std::string sLong = "192.0.2.7 465+" + std::string(300, 'c') + "\tk";
  FixedText<261> cert;
  FixedText<263> key;
  EXPECT_EQ(1, MatchTlsLine(sLong.data(), "192.0.2.7 465+", "192.0.2.7 465-", &cert, &key));
  EXPECT_STREQ("", cert.c_str());
  EXPECT_STREQ("", key.c_str());
}

TEST(TlsLineTest, LookupInSettingsFile) {
  auto path = std::filesystem::temp_directory_path() / ("tls_test_" + std::to_string(getpid()) + ".ini");
  std::ofstream(path, std::ios::binary) << " 192.0.2.7 465+commented\tout\r\n"
                                           "192.0.2.7 25-c25.pem\tk25.pem\r\n"
                                           "192.0.2.7 465+c465.pem\tk465.pem\r\n";
  g_szSettingsFile.Assign(path.string());
  FixedText<261> cert;
  FixedText<263> key;
  EXPECT_EQ(1, Query_SecureSocketLayer("192.0.2.7", 465, &cert, &key));
  EXPECT_STREQ("c465.pem", cert.c_str());
  EXPECT_STREQ("k465.pem", key.c_str());
  EXPECT_EQ(0, Query_SecureSocketLayer("192.0.2.7", 25, &cert, &key));
  EXPECT_STREQ("c25.pem", cert.c_str());  // kept for STARTTLS
  EXPECT_EQ(0, Query_SecureSocketLayer("192.0.2.9", 465, &cert, &key));
  EXPECT_STREQ("", cert.c_str());
  std::filesystem::remove(path);
  EXPECT_EQ(0, Query_SecureSocketLayer("192.0.2.7", 465, &cert, &key));
  g_szSettingsFile.Clear();
}

}  // namespace
