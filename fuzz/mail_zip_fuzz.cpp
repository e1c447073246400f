// Outgoing mail messages as the attachment compressor receives them, plain
// or in SMTP DATA form, with a low threshold so attachments get zipped.
#include <string>

#include "fuzz/fuzz_input.h"
#include "services/zip/mail_zip.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  MailZipInit();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pData, size_t nSize) {
  FuzzInput in{pData, nSize};
  uint64_t nThreshold = in.Byte();
  std::string data = in.Rest();
  std::string out;
  MailZipReport report;
  int r = MailZipMessage(data.data(), data.size(), nThreshold, &out, &report);
  FUZZ_CHECK(r >= -1 && r <= 1);
  if (r == 1) {
    FUZZ_CHECK(report.nZipped > 0 && !out.empty());
    // A message in SMTP form stays in it.
    if (report.bSmtpForm) FUZZ_CHECK(out.size() >= 3 && out.compare(out.size() - 3, 3, ".\r\n") == 0);
  }
  return 0;
}
