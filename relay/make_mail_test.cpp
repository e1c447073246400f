#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "base/limits.h"
#include "core/settings.h"
#include "relay/relay.h"
#include "tests/unit/test_support.h"

namespace {

class MakeMailTest : public ::testing::Test {
 protected:
  void SetUp() override { m_restore.Save(g_nVirusMailKeep, g_nProxyMode); }
  std::string Rewrite(const std::string &input, int nProto) {
    std::string path = m_dir.Path("reply.dat");
    testsupport::WriteFile(path, input);
    static char work[kRecvChunk + 1];
    MakeMail(path.c_str(), work, "Eicar-Test-Signature", nProto);
    EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
    return testsupport::ReadFile(path);
  }
  static std::string Boundary(const std::string &out) {
    auto p = out.find("boundary=\"");
    auto q = out.find('"', p + 10);
    return out.substr(p + 10, q - p - 10);
  }
  testsupport::TempDir m_dir{"makemail"};
  testsupport::Restorer m_restore;
};

TEST_F(MakeMailTest, Pop3HeadersOnlyAndSize) {
  g_nProxyMode = 2;
  g_nVirusMailKeep = 0;
  std::string out = Rewrite(
      "+OK 99 octets\r\nFrom: a@x\r\nSubject: hello\r\n  folded\r\nContent-Type: text/plain\r\nX-A: 1\r\n\r\n"
      "virus body\r\n..dotted\r\n.\r\n",
      2);
  std::string b = Boundary(out);
  std::string body =
      "From: a@x\r\nSubject: Virus alert [Eicar-Test-Signature]\r\nContent-Type: multipart/mixed;\r\n\tboundary=\"" + b +
      "\"\r\nX-A: 1\r\n\r\n--" + b + "\r\nContent-Type: text/plain\r\n\r\n'Eicar-Test-Signature' was found.\r\n\r\n--" +
      b + "\r\nContent-Type: message/rfc822\r\n\r\nFrom: a@x\r\nSubject: hello\r\n  folded\r\n"
      "Content-Type: text/plain\r\nX-A: 1\r\n\r\nSorry, deleted body...\r\n\r\n--" + b + "--\r\n.\r\n";
  EXPECT_EQ("+OK " + std::to_string(body.size()) + " octets\r\n" + body, out);
}

TEST_F(MakeMailTest, Pop3MissingHeadersAndWholeCopyWithD) {
  g_nProxyMode = 2;
  g_nVirusMailKeep = 1;
  std::string out = Rewrite("+OK\r\nFrom: a@x\r\n\r\nline\r\n.\r\n", 2);
  std::string b = Boundary(out);
  auto nHead = out.find("\r\n") + 2;
  std::string body = out.substr(nHead);
  EXPECT_EQ("+OK " + std::to_string(body.size()) + " octets\r\n", out.substr(0, nHead));
  // Subject first, both just before the empty line.
  EXPECT_EQ(0u, body.find("From: a@x\r\nSubject: Virus alert [Eicar-Test-Signature]\r\nContent-Type: multipart/mixed;"));
  EXPECT_NE(std::string::npos, body.find("message/rfc822\r\n\r\nFrom: a@x\r\n\r\nline\r\n\r\n--" + b + "--\r\n.\r\n"));
  EXPECT_EQ(std::string::npos, body.find("Sorry, deleted body"));
}

TEST_F(MakeMailTest, ImapLiteralSizeMatches) {
  g_nProxyMode = 3;
  std::string msg = "Subject: s\r\n\r\nvirus\r\n";
  std::string out =
      Rewrite("* 1 FETCH (BODY[] {" + std::to_string(msg.size()) + "}\r\n" + msg + " FLAGS (\\Seen))\r\n", 3);
  auto nOpen = out.find('{');
  auto nClose = out.find("}\r\n");
  ASSERT_NE(std::string::npos, nOpen);
  EXPECT_EQ("* 1 FETCH (BODY[] {", out.substr(0, nOpen + 1));
  unsigned long nSize = std::stoul(out.substr(nOpen + 1, nClose - nOpen - 1));
  std::string closing = " FLAGS (\\Seen))\r\n";
  ASSERT_GE(out.size(), closing.size());
  EXPECT_EQ(closing, out.substr(out.size() - closing.size()));
  std::string literal = out.substr(nClose + 3, out.size() - closing.size() - nClose - 3);
  EXPECT_EQ(nSize, literal.size());
  EXPECT_NE(std::string::npos, literal.find("Subject: Virus alert [Eicar-Test-Signature]"));
  // IMAP attaches the whole message.
  EXPECT_NE(std::string::npos, literal.find("Subject: s\r\n\r\nvirus\r\n"));
}

}  // namespace
