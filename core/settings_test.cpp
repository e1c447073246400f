#include "core/settings.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/log.h"
#include "core/endpoint_record.h"
#include "tests/unit/test_support.h"

namespace {

// Runs GetOption on a fresh set of defaults; the switches as written on a
// command line.
class OptionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_dir = std::filesystem::temp_directory_path() / ("settings_test_" + std::to_string(getpid()));
    std::filesystem::create_directories(m_dir / "TORV");
    setenv("SETTINGS_TEST_HOME", m_dir.c_str(), 1);
  }
  void TearDown() override {
    SetDefaults(&m_ep);
    std::filesystem::remove_all(m_dir);
  }
  int Parse(std::vector<std::string> args) {
    SetDefaults(&m_ep);
    args.insert(args.begin(), "ruvohprx");
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(a.data());
    return GetOption(static_cast<int>(argv.size()), argv.data(), &m_ep);
  }
  // The NUL-separated listen list as a vector.
  std::vector<std::string> ListenList() const {
    std::vector<std::string> out;
    for (const char *p = m_ep.mIP; *p; p += strlen(p) + 1) out.emplace_back(p);
    return out;
  }
  std::string Data() const { return (m_dir / "TORV").string() + "/"; }

  EndpointRecord m_ep;
  std::filesystem::path m_dir;
};

TEST_F(OptionTest, DataFolderOrderMatters) {
  ASSERT_EQ(0, Parse({"-P=0", "-E=SETTINGS_TEST_HOME"}));
  EXPECT_STREQ("http.ini", g_szSettingsFile.c_str());
  EXPECT_EQ(Data(), g_szDataDir.c_str());
  ASSERT_EQ(0, Parse({"-E=SETTINGS_TEST_HOME", "-P=0"}));
  EXPECT_EQ(Data() + "http.ini", g_szSettingsFile.c_str());
  EXPECT_EQ(Data() + "httplog", g_szLogDir.c_str());
  EXPECT_EQ(Data() + "ncsalog", g_szAccessLogDir.c_str());
  EXPECT_EQ(Data() + "http-con.ini", g_szConPermFile.c_str());
  EXPECT_EQ(Data() + "no-cache.db", g_szNoCacheFile.c_str());
}

TEST_F(OptionTest, PerModeNamesAndTimeouts) {
  static const struct {
    const char *szMode;
    const char *szLog, *szSettings, *szAuth, *szAccess;
    int nClient, nServer;
  } kModes[] = {
      {"-P=0", "httplog", "http.ini", "http-auth.ini", "ncsalog", 5, 3500},
      {"-P=1", "smtplog", "smtp.ini", "smtp-auth.ini", "", 300000, 300000},
      {"-P=2", "pop3log", "pop3.ini", "pop3-auth.ini", "", 300000, 300000},
      {"-P=3", "imap4log", "imap4.ini", "imap4-auth.ini", "", 300000, 300000},
      {"-P=4", "ftplog", "ftp.ini", "ftp-auth.ini", "", 300000, 300000},
      {"-P=5", "sockslog", "socks.ini", "socks-auth.ini", "ncsalog", 300000, 300000},
  };
  for (const auto &m : kModes) {
    SCOPED_TRACE(m.szMode);
    ASSERT_EQ(0, Parse({"-E=SETTINGS_TEST_HOME", m.szMode}));
    EXPECT_EQ(Data() + m.szLog, g_szLogDir.c_str());
    EXPECT_EQ(Data() + m.szSettings, g_szSettingsFile.c_str());
    EXPECT_EQ(Data() + m.szAuth, g_szAuthFile.c_str());
    EXPECT_EQ(*m.szAccess ? Data() + m.szAccess : "", g_szAccessLogDir.c_str());
    EXPECT_EQ(m.nClient, g_nTmoClient);
    EXPECT_EQ(m.nServer, g_nTmoServer);
    EXPECT_EQ(10, g_nTmoClientSSL);
    EXPECT_EQ(50, g_nTmoServerSSL);
  }
  ASSERT_EQ(0, Parse({"-E=SETTINGS_TEST_HOME", "-P=5"}));
  EXPECT_EQ(Data() + "socks-ptl.ini", g_szSocksPtlFile.c_str());
  ASSERT_EQ(0, Parse({"-E=SETTINGS_TEST_HOME", "-P=1"}));
  EXPECT_STREQ("", g_szNoCacheFile.c_str());  // SMTP leaves the no-cache list alone
}

TEST_F(OptionTest, PortRangeClearedByHttpFtpSocksOnly) {
  ASSERT_EQ(0, Parse({"-N=20000-20100", "-P=0"}));
  EXPECT_EQ(0, g_nPortLow);
  EXPECT_EQ(0, g_nPortHigh);
  ASSERT_EQ(0, Parse({"-P=0", "-N=20000-20100"}));
  EXPECT_EQ(20000, g_nPortLow);
  EXPECT_EQ(20000, g_nPortNext);
  EXPECT_EQ(20100, g_nPortHigh);
  ASSERT_EQ(0, Parse({"-N=20000-20100", "-P=1"}));  // SMTP keeps it
  EXPECT_EQ(20000, g_nPortLow);
  ASSERT_EQ(0, Parse({"-P=4", "-N=30000"}));
  EXPECT_EQ(30000, g_nPortLow);
  EXPECT_EQ(0, g_nPortHigh);
}

// Each row: the switches, then one setting read back after them.
TEST_F(OptionTest, SwitchValues) {
  using Get = long long (*)();
  static const struct {
    std::vector<std::string> args;
    Get get;
    long long nWant;
  } kCases[] = {
      {{"-P=0", "-T=-5,100"}, [] { return (long long)g_nTmoClient; }, 0},  // negative: 0
      {{"-P=0", "-T=-5,100"}, [] { return (long long)g_nTmoServer; }, 100},
      {{"-P=0", "-T=-5,100"}, [] { return (long long)g_nTmoServerSSL; }, 50},  // mode default kept
      {{"-P=0", "-T=1,2,3,4"}, [] { return (long long)g_nTmoServerSSL; }, 4},
      {{"-C=0"}, [] { return (long long)g_nMaxConn; }, 2147483647},  // 0: no limit
      {{"-c=7"}, [] { return (long long)g_nMaxConn; }, 7},           // lower case works for every letter but i
      {{"-C=5", "-C=9"}, [] { return (long long)g_nMaxConn; }, 9},   // later overrides earlier
      {{"-Q=2"}, [] { return (long long)g_bFtpRaw; }, 0},
      {{"-Q=1"}, [] { return (long long)g_bFtpRaw; }, 1},
      {{"-O=7"}, [] { return (long long)g_nSocksVer; }, 0},
      {{"-O=2"}, [] { return (long long)g_nSocksVer; }, 2},
      {{"-R=3"}, [] { return (long long)g_nRetryLimit; }, 60},
      {{"-K=5000000000"}, [] { return (long long)g_nScanMax; }, 5000000000LL},  // beyond 32 bits
      {{"-!=0"}, [] { return (long long)g_bNoKeepAlive; }, 0},
      {{"-$=3"}, [] { return (long long)g_nConRetry; }, 3},
      {{"-G=5"}, [] { return (long long)g_bAccessLog; }, 1},
      {{"-J=1"}, [] { return (long long)g_bSpamReject; }, 1},
      {{"-X=1"}, [] { return (long long)g_bAttachZip; }, 1},
      {{"-D=2"}, [] { return (long long)g_nVirusMailKeep; }, 2},
      {{"-M=15"}, [] { return (long long)g_nCacheMin; }, 15},
      {{"-i=2"}, [] { return (long long)g_nIPVersion; }, 2},
      {{"-I=2", "-#=1"}, [] { return (long long)g_nIPVersion; }, 0},  // not -i
      {{"-Y=1"}, [] { return (long long)g_bUdpLasting; }, 1},
      {{"-Y=2"}, [] { return (long long)g_bUdpLasting; }, 0},
      {{"-h=::1 9180"}, [] { return (long long)g_nMetricsPort; }, 9180},
      {{"-i=1", "-I=2"}, [] { return (long long)(g_bScanRequired + 2 * g_nIPVersion); }, 3},
      {{"-I=0"}, [] { return (long long)g_bScanRequired; }, 0},
      {{"-V", "-w"}, [] { return (long long)(g_bLogConsole + 2 * g_bLogFile); }, 3},
      {{"-U=0"}, [] { return (long long)(g_bHeaderRewrite + 2 * g_bRemoteHostWp); }, 0},
      {{"-U=3"}, [] { return (long long)(g_bHeaderRewrite + 2 * g_bViaExtend + 4 * g_bForwarded); }, 7},
      {{"-U=3"}, [] { return (long long)(g_bRemoteHostWp + g_bXForwardedFor); }, 0},
      {{"-A"}, [] { return (long long)(g_bProxyAuth + 2 * g_nLdapAuth); }, 1},
      {{"-A=1"}, [] { return (long long)g_nLdapAuth; }, 1},
      {{"-A:1"}, [] { return (long long)g_nLdapAuth; }, 0},  // the value counts only after "="
  };
  for (const auto &c : kCases) {
    ASSERT_EQ(0, Parse(c.args)) << c.args[0];
    EXPECT_EQ(c.nWant, c.get()) << c.args[0] << " (" << c.args.size() << " switches)";
  }
  ASSERT_EQ(0, Parse({"-E=SETTINGS_TEST_HOME", "-A"}));
  EXPECT_EQ(Data() + "http-ldap.ini", g_szLdapIni.c_str());
}

TEST_F(OptionTest, ListenList) {
  ASSERT_EQ(0, Parse({}));
  EXPECT_EQ(std::vector<std::string>{"127.0.0.1"}, ListenList());
  ASSERT_EQ(0, Parse({"-L=10.0.0.1,10.0.0.2 3128"}));
  EXPECT_EQ((std::vector<std::string>{"10.0.0.1", "10.0.0.2"}), ListenList());
  EXPECT_EQ(3128, m_ep.nPort);
  ASSERT_EQ(0, Parse({"-L=10.0.0.1"}));
  EXPECT_EQ(std::vector<std::string>{"10.0.0.1"}, ListenList());
  EXPECT_EQ(8080, m_ep.nPort);
  // An entry with a port of its own needs a second space.
  ASSERT_EQ(0, Parse({"-L=127.0.0.1 9000,::1 8080"}));
  EXPECT_EQ((std::vector<std::string>{"127.0.0.1 9000", "::1"}), ListenList());
  EXPECT_EQ(8080, m_ep.nPort);
  // Far too long: cut, still terminated by two NULs.
  std::string sLong = "-L=" + std::string(3000, '1');
  ASSERT_EQ(0, Parse({sLong}));
  auto list = ListenList();
  ASSERT_EQ(1u, list.size());
  EXPECT_EQ(kListenListSize - 2, list[0].size());
}

TEST_F(OptionTest, ListenListFromSettingsFile) {
  {
    std::ofstream f(m_dir / "TORV" / "http.ini");
    f << "' comment\r\n"
      << "127.0.0.1\r\n"
      << " indented comment\n"
      << "::1 9090\n"
      << "\n"
      << "example.com=10.0.0.1+server 80\n"
      << "10.1.1.1,10.1.1.2\n";
  }
  ASSERT_EQ(0, Parse({"-E=SETTINGS_TEST_HOME", "-P=0", "-F"}));
  EXPECT_EQ((std::vector<std::string>{"127.0.0.1", "::1 9090", "example.com", "10.1.1.1", "10.1.1.2"}),
            ListenList());
  // Without a settings file path the list just empties.
  ASSERT_EQ(0, Parse({"-F"}));
  EXPECT_TRUE(ListenList().empty());
  // A missing file leaves the list empty.
  ASSERT_EQ(0, Parse({"-E=SETTINGS_TEST_HOME", "-P=1", "-F"}));
  EXPECT_TRUE(ListenList().empty());
}

TEST_F(OptionTest, RefusedValues) {
  EXPECT_EQ(2, Parse({"-P=6"}));
  EXPECT_EQ(2, Parse({"-P=-1"}));
  EXPECT_EQ(2, Parse({"-H=1"}));  // no address
  EXPECT_EQ(2, Parse({"-E=SETTINGS_TEST_NO_SUCH_VARIABLE"}));
  std::string sLongDir = "-B=" + std::string(400, 'b');
  EXPECT_EQ(2, Parse({sLongDir}));
  setenv("SETTINGS_TEST_LONG", std::string(300, 'x').c_str(), 1);
  EXPECT_EQ(2, Parse({"-E=SETTINGS_TEST_LONG"}));
  // Text settings that do not fit are cut, never overflowed.
  std::string sUp = "-S=" + std::string(1000, 'u');
  ASSERT_EQ(0, Parse({sUp}));
  EXPECT_EQ(SettingText::Capacity(), g_szUpstream.Length());
}

TEST_F(OptionTest, DataFolderSwitchZ) {
  ASSERT_EQ(0, Parse({"-Z=/srv/proxy", "-P=0"}));
  EXPECT_STREQ("/srv/proxy/", g_szDataDir.c_str());
  EXPECT_STREQ("/srv/proxy/http.ini", g_szSettingsFile.c_str());
  ASSERT_EQ(0, Parse({"-E=SETTINGS_TEST_HOME", "-Z="}));  // empty: ignored
  EXPECT_EQ(Data(), g_szDataDir.c_str());
}

TEST(ProgramTitleTest, FirstNameContainedWins) {
  static const struct {
    const char *szName, *szTitle;
  } kCases[] = {
      {"./build/ruvohprx", "HTTP PROXY"}, {"ruvosprx", "SMTP PROXY"},   {"/usr/bin/ruvopprx", "POP3 PROXY"},
      {"ruvoiprx", "IMAP PROXY"},         {"ruvofprx", "FTP PROXY"},    {"ruvocprx", "SOCKS PROXY"},
      {"proxy", "HTTP PROXY"},            {"xruvocprx-ruvosprx", "SMTP PROXY"},
  };
  for (const auto &c : kCases) EXPECT_STREQ(c.szTitle, ProgramTitle(c.szName)) << c.szName;
}

// The summary lines per mode, read back from the dated log file.
class SummaryTest : public OptionTest {
 protected:
  std::string Summary(std::vector<std::string> args) {
    args.push_back("-W");
    EXPECT_EQ(0, Parse(args));
    std::filesystem::remove_all(g_szLogDir.c_str());
    DebugLogReopen();
    LogSettingsSummary();
    std::string sAll;
    for (auto &e : std::filesystem::directory_iterator(g_szLogDir.c_str())) sAll += testsupport::ReadFile(e.path());
    // Drop the time stamps.
    std::string sOut;
    std::istringstream in(sAll);
    for (std::string line; std::getline(in, line);) {
      if (line.size() >= 15 && line[0] == '[' && line[13] == ']') line = line.substr(15);
      sOut += line + "\n";
    }
    return sOut;
  }
};

TEST_F(SummaryTest, HttpMode) {
  std::string s = Summary({"-E=SETTINGS_TEST_HOME", "-P=0", "-N=20000-20100", "-C=0", "-A"});
  EXPECT_NE(std::string::npos, s.find(" v1.38 "));
  std::string sWant = "SOCKET Con-Rty Time   = 10\n"
                      "Keep-Alive            = off\n"
                      "Connection            = 0\n"
                      "IP version            = IPv4\n"
                      "Proxy Auth            = yes:LOCAL\n"
                      "Timeout Client(Plain) = 5\n"
                      "Timeout Client(SSL)   = 10\n"
                      "Timeout Server(Plain) = 3500\n"
                      "Timeout Server(SSL)   = 50\n"
                      "FTP  PortRange        = 20000 - 20100\n"
                      "HTTP  Cache time      = 0 min.\n"
                      "Scan Max file size    = 0\n"
                      "Log Folder            = " +
                      Data() + "httplog\n";
  EXPECT_NE(std::string::npos, s.find(sWant)) << s;
  EXPECT_TRUE(std::filesystem::is_directory(Data() + "ncsalog"));
}

TEST_F(SummaryTest, OptionalLinesPerMode) {
  static const struct {
    const char *szMode;
    bool bAuth, bMail, bPort, bFtpCmd, bVirusMail;
    const char *szPortLine;
  } kModes[] = {
      {"-P=0", true, false, true, false, false, "FTP  PortRange"},
      {"-P=1", false, true, false, false, false, ""},
      {"-P=2", false, false, false, false, true, ""},
      {"-P=3", false, false, false, false, true, ""},
      {"-P=4", false, false, true, true, false, "FTP  PortRange"},
      {"-P=5", true, true, true, true, true, "Bind PortRange"},
  };
  for (const auto &m : kModes) {
    SCOPED_TRACE(m.szMode);
    std::string s = Summary({"-E=SETTINGS_TEST_HOME", m.szMode, "-i=1", "-D=1", "-Q=0", "-B=/bk", "-J=1"});
    EXPECT_EQ(m.bAuth, s.find("Proxy Auth            = no\n") != std::string::npos);
    EXPECT_EQ(m.bMail, s.find("Mail backup           = yes:/bk\nAttach compressed     = no\n"
                              "SPAM reject           = yes\n") != std::string::npos);
    EXPECT_EQ(m.bPort, s.find("PortRange        = 00000 - 00000\n") != std::string::npos);
    if (m.bPort) {
      EXPECT_NE(std::string::npos, s.find(m.szPortLine));
    }
    EXPECT_EQ(m.bFtpCmd, s.find("FTP Command           = transform\n") != std::string::npos);
    EXPECT_EQ(m.bVirusMail, s.find("Virus Mail deleted    = Off.\n") != std::string::npos);
    EXPECT_NE(std::string::npos, s.find("IP version            = IPv6\n"));
  }
  std::string s = Summary({"-E=SETTINGS_TEST_HOME", "-P=5", "-M=7", "-i=3", "-!=0", "-A=1"});
  EXPECT_NE(std::string::npos, s.find("SOCKS Cache time      = 7 min.\n"));
  EXPECT_NE(std::string::npos, s.find("IP version            = IPv4,IPv6\n"));
  EXPECT_NE(std::string::npos, s.find("Keep-Alive            = on\n"));
  EXPECT_NE(std::string::npos, s.find("Proxy Auth            = yes:LDAP\n"));
  EXPECT_NE(std::string::npos, s.find("Virus Mail deleted    = On.\n"));
}

}  // namespace

namespace {

// "-h", "--help" and "--version" count only as whole arguments; "-h=..." and
// "-H" stay ordinary (ignored) switches, and the first request found wins.
TEST(InfoRequestTest, WholeArgumentsOnly) {
  const struct {
    std::vector<std::string> args;
    int nExpected;
  } kCases[] = {
      {{}, kInfoNone},
      {{"-E=X", "-P=0"}, kInfoNone},
      {{"-h"}, kInfoHelp},
      {{"-P=0", "--help"}, kInfoHelp},
      {{"--version"}, kInfoVersion},
      {{"--version", "-h"}, kInfoVersion},
      {{"-h=1", "-H", "--helpme", "-help", "--version=1"}, kInfoNone},
  };
  for (const auto &c : kCases) {
    std::vector<std::string> args = c.args;
    args.insert(args.begin(), "ruvohprx");
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(a.data());
    EXPECT_EQ(c.nExpected, FindInfoRequest(static_cast<int>(argv.size()), argv.data())) << args.size();
  }
}

}  // namespace
