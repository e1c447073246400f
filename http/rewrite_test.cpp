#include "http/rewrite.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "core/settings.h"
#include "net/connection_record.h"

namespace {

struct Result {
  int nRc;
  std::string header;
  std::string rest;
  int bKeepAlive;
};

Result Rewrite(const std::string &response, int nMode, int bKeepAlive = 1) {
  auto pRec = std::make_unique<ConnectionRecord>();
  memset(pRec.get(), 0, sizeof *pRec);
  pRec->bKeepAlive = bKeepAlive;
  pRec->mLocalName.Assign("proxy.test");
  pRec->mClientIP.Assign("10.1.1.1");
  pRec->nLocalPort = 8080;
  FILE *f = tmpfile();
  fwrite(response.data(), 1, response.size(), f);
  rewind(f);
  char szOut[kHttpHeaderOut + 1];
  size_t nLen = 0;
  int bEnd = 0;
  Result r;
  r.nRc = RewriteResponseHeader(pRec.get(), f, "HTTP/1.1", nMode, szOut, sizeof szOut, &nLen, &bEnd);
  r.header.assign(szOut, nLen);
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) r.rest.append(buf, n);
  r.bKeepAlive = pRec->bKeepAlive;
  fclose(f);
  return r;
}

class RewriteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_[0] = g_bForwarded;
    saved_[1] = g_bRemoteHostWp;
    saved_[2] = g_bXForwardedFor;
    g_bForwarded = g_bRemoteHostWp = g_bXForwardedFor = 0;
  }
  void TearDown() override {
    g_bForwarded = saved_[0];
    g_bRemoteHostWp = saved_[1];
    g_bXForwardedFor = saved_[2];
  }
  int saved_[3];
};

TEST_F(RewriteTest, ServerAnswers) {
  static const struct {
    const char *szIn, *szHeader;
    int bKeep;
  } kCases[] = {
      {"HTTP/1.1 200 OK\r\nA: 1\r\n\r\n", "HTTP/1.1 200 OK\r\nA: 1\r\n\r\n", 1},
      {"HTTP/1.0 200 OK\r\nA: 1\r\n\r\n", "HTTP/1.0 200 OK\r\nA: 1\r\n\r\n", 0},
      {"HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n", "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n", 0},
      {"HTTP/1.1 200 OK\r\nCneonction: Close\r\n\r\n", "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n", 0},
      {"HTTP/1.1 200 OK\r\nnnCoection: close\r\n\r\n", "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n", 0},
      {"HTTP/1.1 200 OK\r\nConnection: keep-alive\r\n\r\n", "HTTP/1.1 200 OK\r\nConnection: keep-alive\r\n\r\n", 1},
      {"HTTP/1.1 200 OK\r\nProxy-Connection: close\r\n\r\n",
       "HTTP/1.1 200 OK\r\nProxy-Connection: close\r\nConnection: close\r\n\r\n", 0},
      {"HTTP/1.1 101 X\r\nUpgrade: h2c\r\nConnection: Upgrade\r\nProxy-Connection: upgrade\r\nB: 2\r\n\r\n",
       "HTTP/1.1 101 X\r\nB: 2\r\n\r\n", 1},
      // Only part of the header: what is there is the header.
      {"HTTP/1.1 200 OK\r\nA: 1\r\nB:", "HTTP/1.1 200 OK\r\nA: 1\r\nB:", 1},
  };
  for (const auto &c : kCases) {
    Result r = Rewrite(std::string(c.szIn) + "BODY", kResponseServer);
    EXPECT_EQ(1, r.nRc);
    if (strstr(c.szIn, "\r\n\r\n")) {
      EXPECT_EQ(c.szHeader, r.header) << c.szIn;
      EXPECT_EQ("BODY", r.rest);
    } else {
      EXPECT_EQ(std::string(c.szHeader) + "BODY", r.header) << c.szIn;
    }
    EXPECT_EQ(c.bKeep, r.bKeepAlive) << c.szIn;
  }
}

TEST_F(RewriteTest, CacheAnswersGetViaAndForwardingLines) {
  g_bForwarded = g_bRemoteHostWp = g_bXForwardedFor = 1;
  Result r = Rewrite("HTTP/1.1 200 OK\r\nA: 1\r\n\r\nBODY", kResponseCache);
  EXPECT_EQ(
      "HTTP/1.1 200 OK\r\n"
      "Forwarded: by http://proxy.test:8080 (Q-RELAY Server v1.38) for 10.1.1.1\r\n"
      "Remote-Host-Wp: 10.1.1.1\r\nX-Forwarded-For: 10.1.1.1\r\nA: 1\r\n"
      "VIA: 1.1 proxy.test (Q-RELAY Server v1.38)\r\n\r\n",
      r.header);
  EXPECT_EQ("BODY", r.rest);
  g_bForwarded = g_bRemoteHostWp = g_bXForwardedFor = 0;
  r = Rewrite("HTTP/1.1 200 OK\r\nVia: 1.0 up\r\n\r\n", kResponseCache);
  EXPECT_EQ("HTTP/1.1 200 OK\r\nVia: 1.0 up,1.1 proxy.test (Q-RELAY Server v1.38)\r\n\r\n", r.header);
  // An HTTP/1.0 answer gets no Via.
  r = Rewrite("HTTP/1.0 200 OK\r\nVia: 1.0 up\r\n\r\n", kResponseCache);
  EXPECT_EQ("HTTP/1.0 200 OK\r\nVia: 1.0 up\r\n\r\n", r.header);
}

TEST_F(RewriteTest, NoStatusLineSendsNothing) {
  Result r = Rewrite("hello\r\nworld", kResponseServer);
  EXPECT_EQ(0, r.nRc);
  EXPECT_EQ("", r.header);
  EXPECT_EQ("hello\r\nworld", r.rest);
  EXPECT_EQ(0, Rewrite("", kResponseServer).nRc);
}

TEST_F(RewriteTest, OversizedHeaderRestFollowsUnchanged) {
  std::string big = "HTTP/1.1 200 OK\r\n";
  for (int i = 0; i < 2000; ++i) big += "X-Long: 0123456789\r\n";
  big += "\r\nBODY";
  Result r = Rewrite(big, kResponseServer);
  EXPECT_EQ(1, r.nRc);
  EXPECT_LE(r.header.size(), kHttpHeaderOut);
  EXPECT_EQ(big, r.header + r.rest);
}

TEST_F(RewriteTest, ClosingConnectionAnnouncesClose) {
  // The client connection ends after the answer: "Connection: close" is
  // added unless the header says it already (or is HTTP/1.0); in the
  // close-only mode every other line stays as it is.
  static const struct {
    int nMode;
    const char *szIn, *szHeader;
  } kCases[] = {
      {kResponseCloseOnly, "HTTP/1.1 200 OK\r\nUpgrade: x\r\n\r\n",
       "HTTP/1.1 200 OK\r\nUpgrade: x\r\nConnection: close\r\n\r\n"},
      {kResponseCloseOnly, "HTTP/1.1 200 OK\r\nconnection: Keep-Alive, Close\r\n\r\n",
       "HTTP/1.1 200 OK\r\nconnection: Keep-Alive, Close\r\n\r\n"},
      {kResponseCloseOnly, "HTTP/1.0 200 OK\r\nA: 1\r\n\r\n", "HTTP/1.0 200 OK\r\nA: 1\r\n\r\n"},
      {kResponseServer, "HTTP/1.1 200 OK\r\nA: 1\r\n\r\n", "HTTP/1.1 200 OK\r\nA: 1\r\nConnection: close\r\n\r\n"},
      {kResponseServer, "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n", "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n"},
      {kResponseCache, "HTTP/1.1 200 OK\r\n\r\n",
       "HTTP/1.1 200 OK\r\nConnection: close\r\nVIA: 1.1 proxy.test (Q-RELAY Server v1.38)\r\n\r\n"},
  };
  for (const auto &c : kCases) {
    Result r = Rewrite(std::string(c.szIn) + "BODY", c.nMode, 0);
    EXPECT_EQ(1, r.nRc);
    EXPECT_EQ(c.szHeader, r.header) << c.szIn;
    EXPECT_EQ("BODY", r.rest);
  }
  // A connection that persists gets no such line.
  EXPECT_EQ("HTTP/1.1 200 OK\r\n\r\n", Rewrite("HTTP/1.1 200 OK\r\n\r\n", kResponseCloseOnly, 1).header);
}

}  // namespace
