// Notification pages for inspected GET responses, and the split of a
// spooled response into a full copy and its body.
#ifndef PROXY_HTTP_PAGES_H_
#define PROXY_HTTP_PAGES_H_

#include <cstddef>

enum PageKind { kPageSplit = 0, kPageVirus = 1, kPageWord = 2 };

// kPageSplit (A = response R, B = R.tmp, no verdict): B becomes the whole
// response, A keeps the body alone (empty when there is no empty line).
// kPageVirus / kPageWord (A = R.tmp, B = R, verdict): B becomes the whole
// response, A its header rewritten for the page (length, type, no chunked
// coding) followed by the page: the template file "foundvirus.html" or
// "foundword.html" of the data folder when it can be read, else the
// built-in page, with the verdict in place of its first two "%s".
// Returns 1, or -1 when a file could not be handled (A then holds what was
// written so far).
int NotifyPage(int nKind, const char *szFileA, const char *szFileB, const char *szVerdict);

// The split without the move: szBody receives the body of the response
// in szWhole (empty when there is no empty line), which stays as it is.
// Returns 1, or -1 when a file could not be handled.
int WriteResponseBody(const char *szWhole, const char *szBody);

// Fills a template: the first two "%s" receive the verdict, "%%" becomes
// "%", every other character (other "%" sequences included) is copied.
// Writes at most nOutSize-1 bytes and a NUL; returns the length.
std::size_t FillPageTemplate(const char *szTemplate, const char *szVerdict, char *pOut, std::size_t nOutSize);

// The built-in page (with its two "%s") of a kind.
const char *BuiltInPage(int nKind);

#endif  // PROXY_HTTP_PAGES_H_
