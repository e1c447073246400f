#include <gtest/gtest.h>

#include <string>

#include "services/zip/mail_zip.h"
#include "services/zip/zip_service.h"

namespace {

TEST(ZipServiceTest, OnlyFilesInsideTheDataFolder) {
  static const struct {
    const char *szPath;
    int nWant;
  } kCases[] = {
      {"/srv/d/TORV/cache/1.dat", 1},
      {"/srv/d/TORV/x..y.dat", 1},            // dots inside a name are fine
      {"/srv/d/TORV/", 0},                    // the folder itself
      {"/srv/d/TORVX/cache/1.dat", 0},        // a sibling with the same prefix
      {"/srv/d/TORV/../TORV/cache/1.dat", 0},
      {"/srv/d/TORV/cache/..", 0},
      {"/etc/passwd", 0},
      {"cache/1.dat", 0},                     // relative
  };
  for (const auto &c : kCases) EXPECT_EQ(ZipPathAllowed(c.szPath, "/srv/d/TORV/"), c.nWant) << c.szPath;
  EXPECT_EQ(ZipPathAllowed("/srv/d/TORV/cache/1.dat", ""), 0);
}

std::string Message(const std::string &sNewline, size_t nAttachment) {
  std::string n = sNewline;
  std::string att(nAttachment, 'Q');
  return "Subject: test" + n + "MIME-Version: 1.0" + n + "Content-Type: multipart/mixed; boundary=\"b\"" + n + n +
         "--b" + n + "Content-Type: text/plain" + n + n + "..dotted line" + n + "text" + n + "--b" + n +
         "Content-Type: application/octet-stream" + n + "Content-Disposition: attachment; filename=\"a/b\\\\c.bin\"" +
         n + n + att + n + "--b--" + n;
}

TEST(MailZipTest, SmtpFormKeptAndNewlinesFollowTheInput) {
  MailZipInit();
  static const struct {
    const char *szLabel;
    std::string sNewline;
    bool bSmtp;
  } kCases[] = {
      {"CRLF SMTP form", "\r\n", true},
      {"LF SMTP form", "\n", true},
      {"CRLF plain", "\r\n", false},
  };
  for (const auto &c : kCases) {
    std::string in = Message(c.sNewline, 5000);
    if (c.bSmtp) in += "." + c.sNewline;
    std::string out;
    MailZipReport report;
    ASSERT_EQ(MailZipMessage(in.data(), in.size(), 4999, &out, &report), 1) << c.szLabel;
    EXPECT_EQ(report.nZipped, 1);
    EXPECT_EQ(report.nBytesIn, 5000u);
    EXPECT_EQ(report.bSmtpForm, c.bSmtp ? 1 : 0) << c.szLabel;
    // The dot-stuffed text line stays stuffed exactly once in SMTP form.
    EXPECT_NE(out.find(c.sNewline + "..dotted line" + c.sNewline), std::string::npos) << c.szLabel;
    EXPECT_EQ(out.find("...dotted"), std::string::npos) << c.szLabel;
    if (c.bSmtp) {
      EXPECT_EQ(out.substr(out.size() - 1 - 2 * c.sNewline.size()), c.sNewline + "." + c.sNewline) << c.szLabel;
    }
    if (c.sNewline == "\n") {
      EXPECT_EQ(out.find('\r'), std::string::npos) << c.szLabel;
    }
    EXPECT_EQ(out.find(std::string(100, 'Q')), std::string::npos) << c.szLabel;
    EXPECT_NE(out.find("attachments.zip"), std::string::npos) << c.szLabel;

    // At the threshold nothing moves.
    ASSERT_EQ(MailZipMessage(in.data(), in.size(), 5000, &out, &report), 0) << c.szLabel;
  }
}

}  // namespace
