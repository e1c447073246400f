#include "http/pages.h"

#include <cstring>
#include <new>

#include "base/fixed_text.h"
#include "base/limits.h"
#include "core/settings.h"
#include "core/spool_file.h"
#include "http/http_text.h"
#include "platform/plat_file.h"

namespace {

// The two built-in pages, as Shift JIS bytes (352 and 370 bytes).
const char kFoundVirusPage[] =
    "<html><head><meta http-equiv=content-type content=\"text/html; charset=shitf-jis\"><title>"
    "\202\261\202\314\203y\201[\203W\202\311\202\315\203E\203C\203\213\203X\202\252\212\334\202"
    "\334\202\352\202\304\202\242\202\334\202\267\201B %s</title><!-- \202\261\202\261\202\311"
    "\202\315\203E\203C\203\213\203X\226\274\202\252\213L\215\332\202\263\202\352\202\334\202"
    "\267\201B\215\355\217\234\202\265\202\304\202\315\202\242\202\257\202\334\202\271\202\361"
    "\201B--></head><body><h4>\202\261\202\314\203y\201[\203W\202\311\202\315\203E\203C\203\213"
    "\203X\202\252\212\334\202\334\202\352\202\304\202\242\202\334\202\267\201B<BR> %s</h4><!--"
    " \202\261\202\261\202\311\202\315\203E\203C\203\213\203X\226\274\202\252\213L\215\332\202"
    "\263\202\352\202\334\202\267\201B\215\355\217\234\202\265\202\304\202\315\202\242\202\257"
    "\202\334\202\271\202\361\201B--></body></html>\r\n";

const char kFoundWordPage[] =
    "<html><head><meta http-equiv=content-type content=\"text/html; charset=shitf-jis\"><title>"
    "\202\261\202\314\203y\201[\203W\202\311\202\315\213\326\216~\203\217\201[\203h\202\252\212"
    "\334\202\334\202\352\202\304\202\242\202\334\202\267\201B <!--%s--></title><!-- \202\261"
    "\202\261\202\311\202\315\213\326\216~\203\217\201[\203h\202\252\213L\215\332\202\263\202"
    "\352\202\334\202\267\201B\215\355\217\234\202\265\202\304\202\315\202\242\202\257\202\334"
    "\202\271\202\361\201B--></head><body><h4>\202\261\202\314\203y\201[\203W\202\311\202\315"
    "\213\326\216~\203\217\201[\203h\202\252\212\334\202\334\202\352\202\304\202\242\202\334"
    "\202\267\201B<BR> <!--%s--></h4><!-- \202\261\202\261\202\311\202\315\213\326\216~\203\217"
    "\201[\203h\202\252\213L\215\332\202\263\202\352\202\334\202\267\201B\215\355\217\234\202"
    "\265\202\304\202\315\202\242\202\257\202\334\202\271\202\361\201B--></body></html>\r\n";

constexpr std::size_t kHeaderLine = 16384;

// Reads a template file as text ("\r\n" becomes "\n"), at most nSize-1
// bytes.  Returns 1 when the file was read.
int ReadTemplate(const char *szPath, char *pOut, std::size_t nSize) {
  FILE *pFile = fopen(szPath, "rb");
  if (pFile == nullptr) return 0;
  std::size_t n = 0;
  int c;
  while (n + 1 < nSize && (c = getc_unlocked(pFile)) != EOF) {
    if (c == '\r') {
      int d = getc_unlocked(pFile);
      if (d == '\n') c = '\n';
      else if (d != EOF) ungetc(d, pFile);
    }
    pOut[n++] = static_cast<char>(c);
  }
  pOut[n] = '\0';
  fclose(pFile);
  return 1;
}

int IsEmptyLine(const char *szLine, std::size_t n) {
  return (n == 2 && szLine[0] == '\r' && szLine[1] == '\n') || (n == 1 && szLine[0] == '\n');
}

}  // namespace

const char *BuiltInPage(int nKind) { return nKind == kPageWord ? kFoundWordPage : kFoundVirusPage; }

std::size_t FillPageTemplate(const char *szTemplate, const char *szVerdict, char *pOut, std::size_t nOutSize) {
  std::size_t n = 0;
  int nFilled = 0;
  std::size_t nVerdict = strlen(szVerdict);
  auto put = [&](const char *p, std::size_t nLen) {
    std::size_t nRoom = nOutSize - 1 - n;
    if (nLen > nRoom) nLen = nRoom;
    memcpy(pOut + n, p, nLen);
    n += nLen;
  };
  for (const char *p = szTemplate; *p; ++p) {
    if (p[0] == '%' && p[1] == 's' && nFilled < 2) {
      put(szVerdict, nVerdict);
      ++nFilled;
      ++p;
    } else if (p[0] == '%' && p[1] == '%') {
      put("%", 1);
      ++p;
    } else {
      // Any other "%" sequence stays as written: the verdict is the only
      // value there is.
      put(p, 1);
    }
  }
  pOut[n] = '\0';
  return n;
}

namespace {

// A written from B, which holds a whole response: its body alone when
// pPage is null, else its header rewritten for the page (nPage bytes) and
// the page.  1 done, -1 when a file could not be handled.
int WriteFromWhole(const char *szFileA, const char *szFileB, const char *pPage, std::size_t nPage) {
  // A for writing, B for reading.
  FILE *pOut = PlatSpoolCreate(szFileA, "wb");
  FILE *pIn = OpenSpool(szFileB, "rb");
  char *pBuf = new (std::nothrow) char[kHeaderLine];
  int nResult = pOut != nullptr && pIn != nullptr && pBuf != nullptr ? 1 : -1;
  if (nResult == 1) {
    int bLength = 0, bType = 0;
    std::size_t n;
    while ((n = ReadLine(pIn, pBuf, kHeaderLine)) > 0) {
      int bEnd = IsEmptyLine(pBuf, n);
      if (pPage == nullptr) {
        // Split: the header is skipped, the body kept.
        if (bEnd) {
          nResult = PlatCopyStreamRest(pIn, pOut);  // the body, copied by the kernel
          break;
        }
        continue;
      }
      if (bEnd) {
        if (!bLength) fprintf(pOut, "Content-Length: %d\r\n", static_cast<int>(nPage));
        if (!bType) fputs("Content-Type: text/html\r\n", pOut);
        fputs("\r\n", pOut);
        fwrite(pPage, 1, nPage, pOut);
        break;
      }
      if (StartsNoCase(pBuf, "content-length:")) {
        fprintf(pOut, "Content-Length: %d\r\n", static_cast<int>(nPage));
        bLength = 1;
      } else if (StartsNoCase(pBuf, "content-type:")) {
        fputs("Content-Type: text/html; charset=shift_jis\r\n", pOut);
        bType = 1;
      } else if (StartsNoCase(pBuf, "transfer-encoding:") || StartsNoCase(pBuf, "content-encoding:")) {
        // The page has a length of its own and is sent as plain text.
      } else {
        fwrite(pBuf, 1, n, pOut);
      }
    }
  }
  if (pOut != nullptr && fclose(pOut) != 0) nResult = -1;
  if (pIn != nullptr) fclose(pIn);
  delete[] pBuf;
  // A is complete before anyone reads it: it opens for reading (waiting, as
  // every spool open does, while another holder keeps it).
  FILE *pCheck = OpenSpool(szFileA, "rb");
  if (pCheck != nullptr) fclose(pCheck);
  return nResult;
}

}  // namespace

int NotifyPage(int nKind, const char *szFileA, const char *szFileB, const char *szVerdict) {
  char *pPage = nullptr;
  std::size_t nPage = 0;
  int bVerdict = nKind != kPageSplit && szVerdict != nullptr;
  if (bVerdict) {
    // Template (file or built-in) filled with the verdict.
    char *pTemplate = new (std::nothrow) char[kPageTemplateSize];
    std::size_t nPageSize = kPageTemplateSize + 2 * strlen(szVerdict) + 1;
    pPage = new (std::nothrow) char[nPageSize];
    if (pTemplate == nullptr || pPage == nullptr) {
      delete[] pTemplate;
      delete[] pPage;
      return -1;
    }
    PathText path;
    path.Format("%s%s", g_szDataDir.c_str(), nKind == kPageWord ? "foundword.html" : "foundvirus.html");
    if (!ReadTemplate(path.c_str(), pTemplate, kPageTemplateSize))
      CopyText(pTemplate, kPageTemplateSize, BuiltInPage(nKind));
    nPage = FillPageTemplate(pTemplate, szVerdict, pPage, nPageSize);
    delete[] pTemplate;
  }
  // B becomes the whole of A.  Moving A is the cheapest copy: A is
  // written anew from B right after.
  int nResult = -1;
  if (PlatMoveFile(szFileA, szFileB, 1, 0) == 1 || PlatCopyFile(szFileA, szFileB, 1) == 1)
    nResult = WriteFromWhole(szFileA, szFileB, bVerdict ? pPage : nullptr, nPage);
  delete[] pPage;
  return nResult;
}

int WriteResponseBody(const char *szWhole, const char *szBody) {
  return WriteFromWhole(szBody, szWhole, nullptr, 0);
}
