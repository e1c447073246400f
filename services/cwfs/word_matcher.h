// The content filter's word list and its one-pass matcher.  All words are
// compiled into one automaton (Hyperscan, literal mode, case-insensitive), so
// a scan costs about the same for one word as for ten thousand.  Only
// word_matcher.cpp sees the library.
#ifndef PROXY_SERVICES_CWFS_WORD_MATCHER_H_
#define PROXY_SERVICES_CWFS_WORD_MATCHER_H_

#include <cstddef>
#include <string>
#include <vector>

// Longest word or phrase kept from the list; longer lines are skipped, so a
// reply (the word itself) always fits the client's 1,041-byte buffer.
constexpr std::size_t kMaxWordLength = 1000;

// Parses the text of a word list: one word or phrase a line, CR LF or LF;
// lines whose first character is a space, a double quote or a single quote
// are comments; blanks and TABs around a word are dropped; empty lines and
// lines longer than kMaxWordLength are skipped (counted in *pSkipped).
void ParseWordList(const char *pText, std::size_t nLen, std::vector<std::string> *pWords, int *pSkipped);

// 1 when this processor can run the matcher, else 0.
int WordMatcherUsable();

struct WordMatcherImpl;

// A compiled word list.  Shared read-only by many scans at once.
struct WordMatcher {
  WordMatcherImpl *pImpl = nullptr;
};

// Compiles the words.  Returns 1 done, 0 no words (nothing to match), -1
// failure (*pError says why).
int WordMatcherBuild(const std::vector<std::string> &words, WordMatcher *pMatcher, std::string *pError);
void WordMatcherFree(WordMatcher *pMatcher);
std::size_t WordMatcherCount(const WordMatcher &matcher);

// The words as given to WordMatcherBuild.
const std::string &WordMatcherWord(const WordMatcher &matcher, std::size_t nIndex);

struct WordScanImpl;

// One scan over a stream of pieces: a word that crosses from one piece into
// the next is found.  Each scan has its own working memory.
struct WordScan {
  WordScanImpl *pImpl = nullptr;
};

// Starts a scan.  1 ready, -1 out of memory.
int WordScanOpen(const WordMatcher &matcher, WordScan *pScan);
// Feeds the next piece.  Returns the index of the first word found so far
// (the one that ends first), or -1 while none is found.  After a find, more
// pieces change nothing.
int WordScanFeed(WordScan *pScan, const char *pData, std::size_t nLen);
// Ends the scan and frees it; returns the same as WordScanFeed.
int WordScanClose(WordScan *pScan);

#endif  // PROXY_SERVICES_CWFS_WORD_MATCHER_H_
