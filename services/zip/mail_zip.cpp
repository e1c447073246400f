#include "services/zip/mail_zip.h"

#include <gmime/gmime.h>
#include <zip.h>

#include <cstring>
#include <mutex>
#include <set>
#include <vector>

namespace {

// One attachment chosen for the archive.
struct Chosen {
  GMimeMultipart *pParent;
  GMimeObject *pPart;
  std::string name;
  std::string data;
};

bool IsType(GMimeObject *pObj, const char *szType, const char *szSub) {
  GMimeContentType *pType = g_mime_object_get_content_type(pObj);
  return pType && g_mime_content_type_is_type(pType, szType, szSub);
}

// An attachment is a leaf part marked "attachment", or a non-text leaf with
// a file name and no disposition.  Parts of multipart/related are the
// pictures of an HTML body and stay.
bool IsAttachment(GMimePart *pPart, bool bInRelated) {
  if (g_mime_part_is_attachment(pPart)) return true;
  if (bInRelated || g_mime_object_get_content_disposition(GMIME_OBJECT(pPart))) return false;
  return g_mime_part_get_filename(pPart) && !IsType(GMIME_OBJECT(pPart), "text", "*");
}

std::string DecodedContent(GMimePart *pPart) {
  std::string s;
  GMimeDataWrapper *pWrapper = g_mime_part_get_content(pPart);
  if (!pWrapper) return s;
  GMimeStream *pMem = g_mime_stream_mem_new();
  g_mime_data_wrapper_write_to_stream(pWrapper, pMem);
  GByteArray *pBytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(pMem));
  s.assign(reinterpret_cast<const char *>(pBytes->data), pBytes->len);
  g_object_unref(pMem);
  return s;
}

// A file name that is safe inside an archive: no folders, no control
// characters, never "." or "..", unique within the archive.
std::string EntryName(const char *szName, int nIndex, std::set<std::string> *pUsed) {
  std::string base;
  if (szName) {
    const char *p = szName;
    for (const char *q = szName; *q; ++q)
      if (*q == '/' || *q == '\\') p = q + 1;
    for (; *p; ++p) base += static_cast<unsigned char>(*p) < 0x20 || *p == 0x7f ? '_' : *p;
  }
  if (base.empty() || base == "." || base == "..") base = "attachment-" + std::to_string(nIndex) + ".bin";
  if (base.size() > 200) base = base.substr(base.size() - 200);
  std::string name = base;
  for (int n = 2; pUsed->count(name); ++n) {
    std::size_t nDot = base.rfind('.');
    name = nDot == std::string::npos || nDot == 0 ? base + "-" + std::to_string(n)
                                                   : base.substr(0, nDot) + "-" + std::to_string(n) + base.substr(nDot);
  }
  pUsed->insert(name);
  return name;
}

void Choose(GMimeMultipart *pMulti, bool bInRelated, uint64_t nThreshold, std::vector<Chosen> *pChosen,
            std::set<std::string> *pUsed) {
  // Changing anything under a signature or an encryption breaks it.
  if (GMIME_IS_MULTIPART_SIGNED(pMulti) || GMIME_IS_MULTIPART_ENCRYPTED(pMulti)) return;
  bool bRelated = bInRelated || IsType(GMIME_OBJECT(pMulti), "multipart", "related");
  int nCount = g_mime_multipart_get_count(pMulti);
  for (int i = 0; i < nCount; ++i) {
    GMimeObject *pChild = g_mime_multipart_get_part(pMulti, i);
    if (GMIME_IS_MULTIPART(pChild)) {
      Choose(GMIME_MULTIPART(pChild), bRelated, nThreshold, pChosen, pUsed);
    } else if (GMIME_IS_PART(pChild) && IsAttachment(GMIME_PART(pChild), bRelated)) {
      std::string data = DecodedContent(GMIME_PART(pChild));
      if (data.size() <= nThreshold) continue;
      const char *szName = g_mime_part_get_filename(GMIME_PART(pChild));
      pChosen->push_back({pMulti, pChild, EntryName(szName, static_cast<int>(pChosen->size()) + 1, pUsed),
                          std::move(data)});
    }
  }
}

// Drops multiparts left without parts (their attachments all moved).
void DropEmpty(GMimeMultipart *pMulti) {
  for (int i = g_mime_multipart_get_count(pMulti) - 1; i >= 0; --i) {
    GMimeObject *pChild = g_mime_multipart_get_part(pMulti, i);
    if (!GMIME_IS_MULTIPART(pChild)) continue;
    DropEmpty(GMIME_MULTIPART(pChild));
    if (g_mime_multipart_get_count(GMIME_MULTIPART(pChild)) == 0) g_mime_multipart_remove_at(pMulti, i);
  }
}

// Builds the archive in memory.  1 done, -1 failure.
int MakeZip(const std::vector<Chosen> &chosen, std::string *pZip, FixedText<160> *pProblem) {
  zip_error_t err;
  zip_error_init(&err);
  zip_source_t *pSrc = zip_source_buffer_create(nullptr, 0, 0, &err);
  if (!pSrc) {
    pProblem->Assign("zip: no memory");
    return -1;
  }
  zip_t *pZipArchive = zip_open_from_source(pSrc, ZIP_TRUNCATE, &err);
  if (!pZipArchive) {
    pProblem->Format("zip: %s", zip_error_strerror(&err));
    zip_source_free(pSrc);
    zip_error_fini(&err);
    return -1;
  }
  zip_error_fini(&err);
  for (const Chosen &c : chosen) {
    zip_source_t *pFile = zip_source_buffer(pZipArchive, c.data.data(), c.data.size(), 0);
    zip_int64_t nIndex = pFile ? zip_file_add(pZipArchive, c.name.c_str(), pFile, ZIP_FL_ENC_UTF_8) : -1;
    if (nIndex < 0) {
      if (pFile) zip_source_free(pFile);
      pProblem->Format("zip: %s", zip_strerror(pZipArchive));
      zip_discard(pZipArchive);
      return -1;
    }
    zip_set_file_compression(pZipArchive, static_cast<zip_uint64_t>(nIndex), ZIP_CM_DEFLATE, 9);
  }
  // Keep the buffer source past zip_close, which writes the archive into it.
  zip_source_keep(pSrc);
  if (zip_close(pZipArchive) != 0) {
    pProblem->Format("zip: %s", zip_strerror(pZipArchive));
    zip_discard(pZipArchive);
    zip_source_free(pSrc);
    return -1;
  }
  int nResult = -1;
  if (zip_source_open(pSrc) == 0) {
    zip_source_seek(pSrc, 0, SEEK_END);
    zip_int64_t nSize = zip_source_tell(pSrc);
    zip_source_seek(pSrc, 0, SEEK_SET);
    if (nSize >= 0) {
      pZip->resize(static_cast<std::size_t>(nSize));
      if (zip_source_read(pSrc, pZip->data(), static_cast<zip_uint64_t>(nSize)) == nSize) nResult = 1;
    }
    zip_source_close(pSrc);
  }
  zip_source_free(pSrc);
  if (nResult != 1) pProblem->Assign("zip: archive not readable");
  return nResult;
}

GMimePart *ZipPart(const std::string &zip) {
  GMimePart *pPart = g_mime_part_new_with_type("application", "zip");
  g_mime_object_set_disposition(GMIME_OBJECT(pPart), "attachment");
  g_mime_part_set_filename(pPart, kZipAttachmentName);
  GMimeStream *pStream = g_mime_stream_mem_new_with_buffer(zip.data(), zip.size());
  GMimeDataWrapper *pWrapper = g_mime_data_wrapper_new_with_stream(pStream, GMIME_CONTENT_ENCODING_DEFAULT);
  g_mime_part_set_content(pPart, pWrapper);
  g_mime_part_set_content_encoding(pPart, GMIME_CONTENT_ENCODING_BASE64);
  g_object_unref(pWrapper);
  g_object_unref(pStream);
  return pPart;
}

bool EndsWith(const char *p, std::size_t n, const char *szTail) {
  std::size_t nTail = strlen(szTail);
  return n >= nTail && memcmp(p + n - nTail, szTail, nTail) == 0;
}

// SMTP DATA form (RFC 5321 4.5.2): removes the last line "." and one leading
// dot of every line that begins with one.
std::string Unstuff(const char *p, std::size_t n) {
  std::string s;
  s.reserve(n);
  bool bLineStart = true;
  for (std::size_t i = 0; i < n; ++i) {
    if (bLineStart && p[i] == '.') {
      bLineStart = false;
      continue;
    }
    s += p[i];
    bLineStart = p[i] == '\n';
  }
  return s;
}

std::string Stuff(const std::string &msg, const char *szNewline) {
  std::string s;
  s.reserve(msg.size() + msg.size() / 64 + 8);
  bool bLineStart = true;
  for (char c : msg) {
    if (bLineStart && c == '.') s += '.';
    s += c;
    bLineStart = c == '\n';
  }
  if (!s.empty() && s.back() != '\n') s += szNewline;
  s += ".";
  s += szNewline;
  return s;
}

}  // namespace

void MailZipInit() {
  static std::once_flag s_Once;
  std::call_once(s_Once, [] { g_mime_init(); });
}

int MailZipMessage(const char *pData, std::size_t nLen, uint64_t nThreshold, std::string *pOut,
                   MailZipReport *pReport) {
  memset(pReport, 0, sizeof *pReport);
  bool bCrlf = memchr(pData, '\n', nLen) != nullptr && static_cast<const char *>(memchr(pData, '\n', nLen)) > pData &&
               static_cast<const char *>(memchr(pData, '\n', nLen))[-1] == '\r';
  std::string body;
  const char *pMsg = pData;
  std::size_t nMsg = nLen;
  // The terminating line: "." alone after the last line end.
  if (EndsWith(pData, nLen, "\n.\r\n") || EndsWith(pData, nLen, "\n.\n") || (nLen == 3 && memcmp(pData, ".\r\n", 3) == 0)) {
    pReport->bSmtpForm = 1;
    std::size_t nCut = EndsWith(pData, nLen, ".\r\n") ? 3 : 2;
    // The result ends the way the message did, whatever the first line
    // end was: a ".\r\n" end written as ".\n" would not end the DATA.
    bCrlf = nCut == 3;
    body = Unstuff(pData, nLen - nCut);
    pMsg = body.data();
    nMsg = body.size();
  }
  if (nMsg == 0) return 0;

  GMimeStream *pStream = g_mime_stream_mem_new_with_buffer(pMsg, nMsg);
  GMimeParser *pParser = g_mime_parser_new_with_stream(pStream);
  g_mime_parser_set_format(pParser, GMIME_FORMAT_MESSAGE);
  GMimeMessage *pMessage = g_mime_parser_construct_message(pParser, nullptr);
  g_object_unref(pParser);
  g_object_unref(pStream);
  if (!pMessage) {
    pReport->mProblem.Assign("not a MIME message");
    return -1;
  }
  GMimeObject *pRoot = g_mime_message_get_mime_part(pMessage);
  std::vector<Chosen> chosen;
  std::set<std::string> used;
  if (pRoot && GMIME_IS_MULTIPART(pRoot)) Choose(GMIME_MULTIPART(pRoot), false, nThreshold, &chosen, &used);
  if (chosen.empty()) {
    g_object_unref(pMessage);
    return 0;
  }
  std::string zip;
  if (MakeZip(chosen, &zip, &pReport->mProblem) != 1) {
    g_object_unref(pMessage);
    return -1;
  }
  for (const Chosen &c : chosen) {
    pReport->nBytesIn += c.data.size();
    g_mime_multipart_remove(c.pParent, c.pPart);
  }
  pReport->nZipped = static_cast<int>(chosen.size());
  pReport->nZipBytes = zip.size();
  DropEmpty(GMIME_MULTIPART(pRoot));

  GMimePart *pZipPart = ZipPart(zip);
  if (IsType(pRoot, "multipart", "mixed")) {
    g_mime_multipart_add(GMIME_MULTIPART(pRoot), GMIME_OBJECT(pZipPart));
  } else {
    // An alternative or related body becomes the first part of a new
    // multipart/mixed that carries the archive beside it.
    GMimeMultipart *pMixed = g_mime_multipart_new_with_subtype("mixed");
    g_mime_multipart_add(pMixed, pRoot);
    g_mime_multipart_add(pMixed, GMIME_OBJECT(pZipPart));
    g_mime_message_set_mime_part(pMessage, GMIME_OBJECT(pMixed));
    g_object_unref(pMixed);
  }
  g_object_unref(pZipPart);

  GMimeFormatOptions *pFormat = g_mime_format_options_new();
  g_mime_format_options_set_newline_format(pFormat, bCrlf ? GMIME_NEWLINE_FORMAT_DOS : GMIME_NEWLINE_FORMAT_UNIX);
  GMimeStream *pOutStream = g_mime_stream_mem_new();
  g_mime_object_write_to_stream(GMIME_OBJECT(pMessage), pFormat, pOutStream);
  GByteArray *pBytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(pOutStream));
  std::string result(reinterpret_cast<const char *>(pBytes->data), pBytes->len);
  g_object_unref(pOutStream);
  g_mime_format_options_free(pFormat);
  g_object_unref(pMessage);
  *pOut = pReport->bSmtpForm ? Stuff(result, bCrlf ? "\r\n" : "\n") : std::move(result);
  return 1;
}
