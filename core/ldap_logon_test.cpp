#include "core/ldap_logon.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

class LdapSettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_path = std::filesystem::temp_directory_path() / ("ldap_test_" + std::to_string(getpid()) + ".ini");
  }
  void TearDown() override {
    std::filesystem::remove(m_path);
    ReadLdapSettings("");
  }
  void Write(const std::string &text) {
    std::ofstream f(m_path, std::ios::binary);
    f << text;
  }
  std::filesystem::path m_path;
};

TEST_F(LdapSettingsTest, EmptyPathOrMissingFileClearsEarlierValues) {
  Write("server=ldap.example.test\n");
  for (std::string path : {std::string(), m_path.string() + ".missing"}) {
    g_szLdapServer.Assign("left over");
    g_nLdapPort = 1;
    EXPECT_EQ(0, ReadLdapSettings(path.c_str()));
    EXPECT_STREQ("", g_szLdapServer.c_str());
    EXPECT_EQ(389, g_nLdapPort);
  }
}

TEST_F(LdapSettingsTest, FileLines) {
  Write("' a comment: server=commented.example\r\n"
        "\"server=quoted.example\n"
        " server=blank.example\n"
        "\r\n"
        "Server=first.example\r\n"
        "SERVER=dir.example.test\r\n"      // a later line overwrites
        "port=3890\n"
        "retrymsec=250\n"
        "RetryTime=3\n"
        "schemardn=uid\n"
        "schemadc=ou=people,dc=example,dc=test\n"
        "unknown=ignored\n"
        "id=reader\npw=secret\nschemafilter=(objectClass=*)\nschemahome=h\nschemaname=n\nschemamember=m");
  EXPECT_EQ(1, ReadLdapSettings(m_path.c_str()));
  EXPECT_STREQ("dir.example.test", g_szLdapServer.c_str());
  EXPECT_EQ(3890, g_nLdapPort);
  EXPECT_EQ(250, g_nLdapRetryMsec);
  EXPECT_EQ(3, g_nLdapRetryTime);
  EXPECT_STREQ("uid", g_szLdapSchemaRdn.c_str());
  EXPECT_STREQ("ou=people,dc=example,dc=test", g_szLdapSchemaDc.c_str());
  EXPECT_STREQ("reader", g_szLdapId.c_str());
  EXPECT_STREQ("secret", g_szLdapPw.c_str());
  EXPECT_STREQ("(objectClass=*)", g_szLdapSchemaFilter.c_str());
  EXPECT_STREQ("m", g_szLdapSchemaMember.c_str());  // last line without line end
}

TEST_F(LdapSettingsTest, LongValuesAreCutAndLongLinesDoNotSpill) {
  std::string longValue(300, 'a');
  // A line longer than the 1,023 characters looked at: its rest must not be
  // read as a line of its own.
  std::string spill = "schemadc=" + std::string(1014, 'x') + "port=1\n";
  Write("schemadc=" + longValue + "\n" + spill + "server=" + std::string(255, 's') + "\n");
  ReadLdapSettings(m_path.c_str());
  EXPECT_EQ(255u, g_szLdapSchemaDc.Length());
  EXPECT_EQ(389, g_nLdapPort);
  EXPECT_EQ(255u, g_szLdapServer.Length());
}

TEST(LdapSettingLineTest, KeysInOrder) {
  static const struct {
    const char *szLine;
    int nMatched;
  } kCases[] = {
      {"retrymsec=5", 1}, {"retrytime=5", 1}, {"server=", 1}, {"port=x", 1}, {"schemamember=", 1},
      {"retry=5", 0},     {"servers=x", 0},   {"", 0},        {"=x", 0},
  };
  for (const auto &c : kCases) EXPECT_EQ(c.nMatched, ApplyLdapSettingLine(c.szLine)) << c.szLine;
  ApplyLdapSettingLine("port=x");  // C integer conversion: 0
  EXPECT_EQ(0, g_nLdapPort);
  ReadLdapSettings("");
}

TEST(LdapBindNameTest, Build) {
  ReadLdapSettings("");
  g_szLdapSchemaDc.Assign("ou=people,dc=example,dc=test");
  static const struct {
    const char *szUser;
    int nFit;
    const char *szName;
  } kCases[] = {
      {"alice", 1, "cn=alice,ou=people,dc=example,dc=test"},
      {"CN=alice,ou=x", 1, "CN=alice,ou=x"},  // a full name is used unchanged
      {"cN=bob", 1, "cN=bob"},
      {"cn", 1, "cn=cn,ou=people,dc=example,dc=test"},
      {"", 1, "cn=,ou=people,dc=example,dc=test"},
      // A "," or "=" in a user name stays inside its one value.
      {"x,ou=admins", 1, "cn=x\\,ou\\=admins,ou=people,dc=example,dc=test"},
  };
  for (const auto &c : kCases) {
    LdapText name;
    EXPECT_EQ(c.nFit, BuildLdapBindName(c.szUser, &name)) << c.szUser;
    EXPECT_STREQ(c.szName, name.c_str()) << c.szUser;
  }
  // 255 characters fit exactly; one more would name another entry: refused.
  std::string user(255 - strlen("cn=,ou=people,dc=example,dc=test"), 'u');
  LdapText name;
  EXPECT_EQ(1, BuildLdapBindName(user.c_str(), &name));
  user += "u";
  EXPECT_EQ(0, BuildLdapBindName(user.c_str(), &name));
  std::string full = "cn=" + std::string(253, 'v');
  EXPECT_EQ(0, BuildLdapBindName(full.c_str(), &name));
  ReadLdapSettings("");
}

TEST(LdapDnEscapeTest, Table) {
  static const struct {
    const char *szIn;
    std::size_t nRoom;
    int nFit;
    const char *szWant;
  } kCases[] = {
      {"alice", 64, 1, "alice"},
      {"a,b=c+d;e<f>g\"h\\i", 64, 1, "a\\,b\\=c\\+d\\;e\\<f\\>g\\\"h\\\\i"},
      {"#lead", 64, 1, "\\#lead"},
      {"mid#dle", 64, 1, "mid#dle"},
      {" both ", 64, 1, "\\ both\\ "},
      {"in ner", 64, 1, "in ner"},
      {"cr\rlf\n", 64, 1, "cr\\0dlf\\0a"},
      {"\xc3\xa9", 64, 1, "\xc3\xa9"},  // UTF-8 is allowed as it is
      {"ab", 3, 1, "ab"},                 // exactly fits
      {"a,", 3, 0, "a"},                  // an escape that does not fit: refused
  };
  for (const auto &c : kCases) {
    char szOut[64];
    EXPECT_EQ(c.nFit, EscapeDnValue(c.szIn, szOut, c.nRoom)) << c.szIn;
    EXPECT_STREQ(c.szWant, szOut) << c.szIn;
  }
}

TEST(LdapRequestTest, CredentialsSplit) {
  ReadLdapSettings("");
  static const struct {
    const char *szCreds;
    const char *szUser, *szDomain, *szPassword;
  } kCases[] = {
      {"alice:wonder", "alice", "", "wonder"},
      {"alice@corp.example:pw", "alice", "corp.example", "pw"},
      {"alice%CORP:pw", "alice", "CORP", "pw"},
      {"a@b%c:pw", "a", "b%c", "pw"},           // "@" wins over "%"
      {"a%b@c:pw", "a%b", "c", "pw"},
      {"bob:pa:ss", "bob:pa", "", "ss"},         // the LAST ":" splits
      {"nocolon", "nocolon", "", ""},
      {":", "", "", ""},
      {"", "", "", ""},
  };
  for (const auto &c : kCases) {
    LdapLogonRequest req;
    EXPECT_EQ(1, LdapRequestFromCredentials(c.szCreds, &req)) << c.szCreds;
    EXPECT_STREQ(c.szUser, req.mUser.c_str()) << c.szCreds;
    EXPECT_STREQ(c.szDomain, req.mDomain.c_str()) << c.szCreds;
    EXPECT_STREQ(c.szPassword, req.mPassword.c_str()) << c.szCreds;
    EXPECT_STREQ("localhost", req.mServer.c_str());
    EXPECT_EQ(389, req.nPort);
  }
  g_szLdapServer.Assign("dir.example.test");
  g_nLdapPort = 636;
  LdapLogonRequest req;
  std::string longUser(256, 'x');
  EXPECT_EQ(0, LdapRequestFromCredentials((longUser + ":pw").c_str(), &req));
  EXPECT_EQ(1, LdapRequestFromCredentials((longUser.substr(1) + ":pw").c_str(), &req));
  EXPECT_STREQ("dir.example.test", req.mServer.c_str());
  EXPECT_EQ(636, req.nPort);
  ReadLdapSettings("");
}

}  // namespace
