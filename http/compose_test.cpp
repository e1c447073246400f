#include "http/compose.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "core/settings.h"
#include "net/connection_record.h"
#include "http/target.h"
#include "tests/unit/test_support.h"

namespace {

struct Composed {
  std::string text;
  int bKeepAlive;
};

class ComposeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    restore_.Save(g_bHeaderRewrite, g_bViaExtend, g_bForwarded, g_bRemoteHostWp, g_bXForwardedFor, g_bNoKeepAlive,
                  g_nProxyMode);
    g_bHeaderRewrite = 0;
    g_bViaExtend = g_bForwarded = g_bRemoteHostWp = g_bXForwardedFor = 0;
    g_bNoKeepAlive = 0;
    g_nProxyMode = kModeHttp;
  }

  Composed Compose(const std::string &request, int bUpstream, int nHandler = kHandlerGet) {
    auto pRec = std::make_unique<ConnectionRecord>();
    memset(pRec.get(), 0, sizeof *pRec);
    pRec->mLocalName.Assign("px");
    pRec->mClientIP.Assign("10.1.1.1");
    pRec->nLocalPort = 8080;
    auto pT = std::make_unique<RequestTarget>();
    std::string line = request.substr(0, request.find('\n') + 1);
    AnalyzeRequestTarget(line.c_str(), nHandler, 0, "", "127.0.0.1", pT.get());
    FILE *f = tmpfile();
    fwrite(request.data(), 1, request.size(), f);
    rewind(f);
    char buf[65536];
    RequestSink sink{};
    sink.pBuf = buf;
    sink.nCap = sizeof buf;
    ComposeInput in{pT.get(), bUpstream, nHandler != kHandlerGet};
    ComposeRequestHeader(pRec.get(), f, &in, &sink);
    // What is left is the body, which the handlers copy unchanged.
    size_t n = fread(buf + sink.nLen, 1, sizeof buf - sink.nLen, f);
    fclose(f);
    return {std::string(buf, sink.nLen + n), pRec->bKeepAlive};
  }
  testsupport::Restorer restore_;
};

TEST_F(ComposeTest, RequestLineForms) {
  static const struct {
    const char *szLine;
    int bUpstream;
    const char *szWant;
  } kCases[] = {
      {"GET http://h.test/a?b HTTP/1.1\r\n", 0, "GET /a?b HTTP/1.1\r\n"},
      {"GET http://h.test:81 HTTP/1.1\r\n", 0, "GET / HTTP/1.1\r\n"},
      {"GET http://h.test?q=1 HTTP/1.1\r\n", 0, "GET /?q=1 HTTP/1.1\r\n"},
      {"GET http://h.test/a HTTP/1.1\r\n", 1, "GET http://h.test/a HTTP/1.1\r\n"},
      {"GET /a HTTP/1.1\r\n", 0, "GET /a HTTP/1.1\r\n"},
  };
  for (const auto &c : kCases) {
    Composed r = Compose(std::string(c.szLine) + "Host: h\r\n\r\n", c.bUpstream);
    EXPECT_EQ(std::string(c.szWant) + "Host: h\r\n\r\n", r.text) << c.szLine;
  }
}

TEST_F(ComposeTest, HeaderRules) {
  const std::string head = "GET http://h.test/ HTTP/1.1\r\n";
  static const struct {
    const char *szLines;
    int bUpstream, bNoKeepAlive;
    const char *szWant;
    int bKeep;
  } kCases[] = {
      {"Proxy-Connection: keep-alive\r\n", 0, 0, "Connection: keep-alive\r\n", 1},
      {"Proxy-Connection: Keep-Alive\r\n", 1, 0, "Proxy-Connection: Keep-Alive\r\n", 1},
      {"Proxy-Connection: keep-alive\r\n", 0, 1, "Connection: close\r\n", 0},
      {"Proxy-Connection: close\r\n", 0, 0, "Connection: close\r\n", 0},
      {"Accept-Encoding: gzip\r\nA: 1\r\n", 0, 0, "A: 1\r\n", 1},
      {"Accept-Encoding: gzip\r\n", 1, 0, "Accept-Encoding: gzip\r\n", 1},
      {"Upgrade: h2c\r\nConnection: Upgrade\r\nProxy-Connection: upgrade\r\nB: 2\r\n", 0, 0, "B: 2\r\n", 1},
      // Hop-by-hop fields: proxy credentials never go on, upstream proxies
      // included; the fields a Connection line names stay with this hop.
      {"Proxy-Authorization: Basic dTpw\r\nB: 2\r\n", 0, 0, "B: 2\r\n", 1},
      {"proxy-authorization: Basic dTpw\r\n", 1, 0, "", 1},
      {"Connection: X-A, keep-alive\r\nx-a: 1\r\nKeep-Alive: 5\r\nX-AB: 2\r\n", 0, 0,
       "Connection: X-A, keep-alive\r\nX-AB: 2\r\n", 1},
      {"Connection: content-length\r\nContent-Length: 0\r\n", 0, 0,
       "Connection: content-length\r\nContent-Length: 0\r\n", 1},
      // RFC 9112 9.3: an HTTP/1.1 request persists unless it asks for close;
      // a close wins over the legacy keep-alive.
      {"A: 1\r\n", 0, 0, "A: 1\r\n", 1},
      {"A: 1\r\n", 0, 1, "A: 1\r\n", 0},
      {"Connection: close\r\n", 0, 0, "Connection: close\r\n", 0},
      {"Connection: Keep-Alive, CLOSE\r\n", 0, 0, "Connection: Keep-Alive, CLOSE\r\n", 0},
      {"Connection: close\r\nProxy-Connection: keep-alive\r\n", 0, 0,
       "Connection: close\r\nConnection: keep-alive\r\n", 0},
  };
  for (const auto &c : kCases) {
    g_bNoKeepAlive = c.bNoKeepAlive;
    Composed r = Compose(head + c.szLines + "\r\n", c.bUpstream);
    EXPECT_EQ(std::string(c.bUpstream ? "GET http://h.test/ HTTP/1.1\r\n" : "GET / HTTP/1.1\r\n") + c.szWant + "\r\n",
              r.text)
        << c.szLines;
    EXPECT_EQ(c.bKeep, r.bKeepAlive) << c.szLines;
  }
  // HTTP/1.0 requests close, whatever they ask.
  Composed r = Compose("GET http://h.test/ HTTP/1.0\r\nProxy-Connection: keep-alive\r\n\r\n", 0);
  EXPECT_EQ("GET / HTTP/1.0\r\nConnection: close\r\n\r\n", r.text);
  // Other methods drop accept-encoding for upstream servers too.
  r = Compose("POST http://h.test/ HTTP/1.1\r\nAccept-Encoding: gzip\r\n\r\nbody", 1, kHandlerOther);
  EXPECT_EQ("POST http://h.test/ HTTP/1.1\r\n\r\nbody", r.text);
}

TEST_F(ComposeTest, IdentificationAndVia) {
  g_bHeaderRewrite = 1;
  g_bViaExtend = g_bForwarded = g_bRemoteHostWp = g_bXForwardedFor = 1;
  Composed r = Compose("POST http://h.test/ HTTP/1.1\r\nA: 1\r\n\r\nbo\0dy\r\n\r\n", 0, kHandlerOther);
  EXPECT_EQ(
      "POST / HTTP/1.1\r\n"
      "Forwarded: by http://px:8080 (Q-RELAY Server v1.38) for 10.1.1.1\r\n"
      "Remote-Host-Wp: 10.1.1.1\r\nX-Forwarded-For: 10.1.1.1\r\nA: 1\r\n"
      "VIA: 1.1 px (Q-RELAY Server v1.38)\r\n\r\nbo",
      r.text.substr(0, r.text.find('\0')));
  r = Compose("GET http://h.test/ HTTP/1.1\r\nVia: 1.0 a\r\n\r\n", 0);
  EXPECT_NE(std::string::npos, r.text.find("\r\nVia: 1.0 a,1.1 px (Q-RELAY Server v1.38)\r\n\r\n"));
  EXPECT_EQ(std::string::npos, r.text.find("VIA:"));
  r = Compose("GET http://h.test/ HTTP/1.0\r\n\r\n", 0);
  EXPECT_EQ(std::string::npos, r.text.find("VIA"));
  // The master flag off: no identification lines at all.
  g_bHeaderRewrite = 0;
  r = Compose("GET http://h.test/ HTTP/1.1\r\n\r\n", 0);
  EXPECT_EQ("GET / HTTP/1.1\r\n\r\n", r.text);
}

}  // namespace
