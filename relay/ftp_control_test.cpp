#include "relay/ftp_control.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

TEST(FtpDirectoryTest, CwdAndCdupTable) {
  static const struct {
    const char *szStart;
    const char *szCommand;  // "CDUP" or a CWD argument with its line end
    const char *szWant;
  } kCases[] = {
      {"", "/pub\r\n", "/pub"},
      {"/pub", "incoming\r\n", "/pub/incoming"},
      {"/pub/incoming", "CDUP", "/pub"},
      {"/pub/incoming", "..\r\n", "/pub"},
      {"/pub/", "x\r\n", "/pub/x"},           // no second "/"
      {"", "rel\r\n", "rel"},
      {"/a", "/\r\n", "/"},                   // "/" alone stays
      {"/a", "/b/\r\n", "/b"},                // a trailing "/" goes
      {"/pub", "CDUP", ""},
      {"", "CDUP", ""},
      {"/a", "b\n", "/a/b"},
  };
  for (const auto &c : kCases) {
    FtpDirText dir;
    dir.Assign(c.szStart);
    if (strcmp(c.szCommand, "CDUP") == 0)
      FtpTrackCdup(&dir);
    else
      FtpTrackCwd(&dir, c.szCommand);
    EXPECT_STREQ(dir.c_str(), c.szWant) << c.szStart << " + " << c.szCommand;
  }
}

TEST(FtpDirectoryTest, LongDirectoriesStayBounded) {
  FtpDirText dir;
  std::string sLong(300, 'd');
  FtpTrackCwd(&dir, ("/" + sLong + "\r\n").c_str());
  EXPECT_EQ(dir.Length(), 255u);
  // At 254 characters or more nothing more is appended.
  std::string s254 = "/" + std::string(253, 'e');
  dir.Assign(s254);
  FtpTrackCwd(&dir, "more\r\n");
  EXPECT_EQ(std::string(dir.c_str()), s254);
}

TEST(FtpCacheKeyTest, KeyTextAndLimits) {
  char szKey[1024];
  ASSERT_EQ(BuildFtpCacheKey("alice", "127.0.0.1", 2121, "/pub", "file.bin\r\n", szKey, sizeof szKey), 1);
  EXPECT_STREQ(szKey, "ftp,alice,127.0.0.1,2121,/pub/file.bin\r\n");
  ASSERT_EQ(BuildFtpCacheKey("", "::1", 21, "", "a\r\n", szKey, sizeof szKey), 1);
  EXPECT_STREQ(szKey, "ftp,,::1,21,/a\r\n");
  // A key that would be cut is refused rather than shortened.
  std::string sUser(1000, 'u');
  EXPECT_EQ(BuildFtpCacheKey(sUser.c_str(), "127.0.0.1", 21, "/pub", "file.bin\r\n", szKey, sizeof szKey), 0);
  std::string sFits(980, 'u');
  EXPECT_EQ(BuildFtpCacheKey(sFits.c_str(), "127.0.0.1", 21, "/pub", "file.bin\r\n", szKey, sizeof szKey), 1);
  EXPECT_EQ(std::string(szKey).substr(strlen(szKey) - 10), "file.bin\r\n");
}

TEST(FtpCommandTest, TransferKinds) {
  static const struct {
    const char *szLine;
    int nKind;
  } kCases[] = {
      {"RETR a\r\n", kFtpDownload}, {"retr a\r\n", kFtpDownload}, {"LIST\r\n", kFtpDownload},
      {"NLST /pub\r\n", kFtpDownload}, {"MLSD\r\n", kFtpDownload}, {"STOR x\r\n", kFtpUpload},
      {"STOU\r\n", kFtpUpload}, {"APPE x\r\n", kFtpUpload}, {"TYPE I\r\n", kFtpNoTransfer},
      {"SIZE a\r\n", kFtpNoTransfer}, {"RETRX a\r\n", kFtpNoTransfer}, {"", kFtpNoTransfer},
  };
  for (const auto &c : kCases) EXPECT_EQ(FtpTransferKindOf(c.szLine), c.nKind) << c.szLine;
}

TEST(FtpCommandTest, PortAndEprtArguments) {
  char szAddr[64];
  int nPort = 0, nProto = 0;
  EXPECT_EQ(ParsePortArgument("127,0,0,1,195,80\r\n", szAddr, sizeof szAddr, &nPort), 1);
  EXPECT_STREQ(szAddr, "127.0.0.1");
  EXPECT_EQ(nPort, 195 * 256 + 80);
  for (const char *szBad : {"127,0,0,1,195\r\n", "127,0,0,1,256,1\r\n", "a,b,c,d,e,f\r\n", "1,2,3,4,5,6x\r\n", ""})
    EXPECT_EQ(ParsePortArgument(szBad, szAddr, sizeof szAddr, &nPort), 0) << szBad;

  EXPECT_EQ(ParseEprtArgument("|2|::1|5282|\r\n", &nProto, szAddr, sizeof szAddr, &nPort), 1);
  EXPECT_EQ(nProto, 2);
  EXPECT_STREQ(szAddr, "::1");
  EXPECT_EQ(nPort, 5282);
  EXPECT_EQ(ParseEprtArgument("!1!10.0.0.2!21!\r\n", &nProto, szAddr, sizeof szAddr, &nPort), 1);
  EXPECT_EQ(nProto, 1);
  EXPECT_STREQ(szAddr, "10.0.0.2");
  for (const char *szBad : {"|2|::1|0|\r\n", "|2|::1|70000|\r\n", "|2||21|\r\n", "|2|::1\r\n", "2|::1|21|\r\n"})
    EXPECT_EQ(ParseEprtArgument(szBad, &nProto, szAddr, sizeof szAddr, &nPort), 0) << szBad;
}

TEST(FtpReplyTest, PassiveReplyParse) {
  char szAddr[64];
  int bExt = -1, nPort = 0;
  EXPECT_EQ(ParsePassiveReply("227 Entering passive mode (10,0,0,5,4,1).\r\n", &bExt, szAddr, sizeof szAddr, &nPort), 1);
  EXPECT_EQ(bExt, 0);
  EXPECT_STREQ(szAddr, "10.0.0.5");
  EXPECT_EQ(nPort, 1025);
  EXPECT_EQ(ParsePassiveReply("229 Entering extended passive mode (|||6446|)\r\n", &bExt, szAddr, sizeof szAddr, &nPort), 1);
  EXPECT_EQ(bExt, 1);
  EXPECT_EQ(nPort, 6446);
  EXPECT_EQ(ParsePassiveReply("229 (|2|::1|2121|)\r\n", &bExt, szAddr, sizeof szAddr, &nPort), 1);
  EXPECT_EQ(nPort, 2121);
  for (const char *szBad : {"227 no address\r\n", "227 (1,2,3,4,5)\r\n", "229 (|||x|)\r\n", "229 (||6446|)\r\n"})
    EXPECT_EQ(ParsePassiveReply(szBad, &bExt, szAddr, sizeof szAddr, &nPort), 0) << szBad;
}

TEST(FtpReplyTest, PassiveReplyRewriteTable) {
  static const struct {
    const char *szLine;
    int bExtended, bClientIPv4, bServerIPv4, bRaw;
    const char *szAnnounce;
    const char *szWant;
  } kCases[] = {
      // Same families: the proxy's (or the global) address, same form.
      {"227 Entering Passive Mode (10,0,0,5,4,1).\r\n", 0, 1, 1, 1, "192.0.2.7",
       "227 Entering Passive Mode (192,0,2,7,195,80)\r\n"},
      {"229 Entering Extended Passive Mode (|||6446|)\r\n", 1, 0, 0, 1, "::1",
       "229 Entering Extended Passive Mode (|||50000|)\r\n"},
      // -Q off, IPv4 client, extended server reply: a 227 with our address.
      {"229 Entering Extended Passive Mode (|||6446|)\r\n", 1, 1, 0, 0, "192.0.2.7",
       "227 Entering Extended Passive Mode (127,0,0,1,195,80)\r\n"},
      // -Q off, IPv6 client, IPv4 server: a 229.
      {"227 Entering Passive Mode (10,0,0,5,4,1).\r\n", 0, 0, 1, 0, "::1",
       "229 Entering Passive Mode (|||50000|)\r\n"},
      // -Q on: no form conversion.
      {"227 Entering Passive Mode (10,0,0,5,4,1).\r\n", 0, 0, 1, 1, "127.0.0.1",
       "227 Entering Passive Mode (127,0,0,1,195,80)\r\n"},
  };
  for (const auto &c : kCases) {
    char szOut[256];
    ASSERT_EQ(RewritePassiveReply(c.szLine, c.bExtended, c.szAnnounce, "127.0.0.1", 50000, c.bClientIPv4,
                                  c.bServerIPv4, c.bRaw, szOut, sizeof szOut),
              1)
        << c.szLine;
    EXPECT_STREQ(szOut, c.szWant) << c.szLine;
  }
  char szSmall[10];
  EXPECT_EQ(RewritePassiveReply("227 Entering Passive Mode (10,0,0,5,4,1).\r\n", 0, "127.0.0.1", "127.0.0.1", 1, 1, 1,
                                1, szSmall, sizeof szSmall),
            0);
}

TEST(FtpControlTest, CommandLineSafe) {
  static const struct {
    std::string sLine;
    int nWant;
  } kCases[] = {
      {"RETR a.txt\r\n", 1},
      {"RETR a.txt\n", 1},
      {"NOOP", 1},  // cut short by a closing client
      {"RETR a\rDELE b\r\n", 0},
      {"RETR a\r\nDELE b\r\n", 0},
      {std::string("RETR a\0b\r\n", 10), 0},
      {"RETR a\r", 0},
  };
  for (const auto &c : kCases) EXPECT_EQ(c.nWant, FtpCommandLineSafe(c.sLine.data(), c.sLine.size())) << c.sLine;
}

}  // namespace
