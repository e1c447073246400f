// Attachment compression of outgoing mail: every attachment larger than a
// threshold moves into one "attachments.zip" attachment; headers and text
// parts stay as they are.  Only mail_zip.cpp sees GMime and libzip.
#ifndef PROXY_SERVICES_ZIP_MAIL_ZIP_H_
#define PROXY_SERVICES_ZIP_MAIL_ZIP_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/fixed_text.h"

// Name of the attachment that holds the compressed files.
constexpr const char *kZipAttachmentName = "attachments.zip";

struct MailZipReport {
  int nZipped;               // attachments moved into the archive
  uint64_t nBytesIn;         // their decoded size
  uint64_t nZipBytes;        // size of the archive
  int bSmtpForm;             // the file was in SMTP DATA form (dot-stuffed, ".\r\n" at the end)
  FixedText<160> mProblem;   // why nothing was done, when it was a fault
};

// Starts the MIME library; call once before any other function here.
void MailZipInit();

// Rewrites one message.  pData is the message as spooled: plain, or in SMTP
// DATA form (lines beginning with "." doubled and a last line "."), which the
// result keeps.  Parts inside signed or encrypted multiparts are never
// touched.  Returns 1 compressed (*pOut holds the new message), 0 nothing
// above nThreshold bytes to compress, -1 the message cannot be handled
// (pReport->mProblem says why).
int MailZipMessage(const char *pData, std::size_t nLen, uint64_t nThreshold, std::string *pOut,
                   MailZipReport *pReport);

#endif  // PROXY_SERVICES_ZIP_MAIL_ZIP_H_
