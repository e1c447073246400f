// Scan cost of the content filter for word lists of different lengths: the
// words are compiled into one automaton, so 10,000 words should cost about
// what one costs.  Run by `make bench` (scripts/bench.sh).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

#include "services/cwfs/cwfs.h"

namespace {

// Deterministic pseudo-random numbers, so every run measures the same data.
uint32_t Next(uint32_t *pState) {
  *pState = *pState * 1664525u + 1013904223u;
  return *pState >> 8;
}

// About 1 MiB of page text made of ordinary words.
const std::string &PageText() {
  static std::string s_Text = [] {
    static const char *const kWords[] = {"the", "proxy", "page", "content", "filter", "network", "report", "table",
                                         "image", "script", "style", "section", "article", "footer", "header"};
    std::string s = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n<html><body>";
    uint32_t nState = 1;
    while (s.size() < (1u << 20)) {
      s += kWords[Next(&nState) % (sizeof kWords / sizeof kWords[0])];
      s += Next(&nState) % 11 == 0 ? "</p>\n<p>" : " ";
    }
    return s + "</body></html>";
  }();
  return s_Text;
}

// nCount words of 6 to 13 letters drawn from letters the page never uses, so
// the scan runs over the whole page.
std::vector<std::string> MakeWords(int nCount) {
  std::vector<std::string> words;
  uint32_t nState = 7;
  static const char kLetters[] = "jkqvwxyz";
  for (int i = 0; i < nCount; ++i) {
    std::string w;
    int nLen = 6 + static_cast<int>(Next(&nState) % 8);
    for (int k = 0; k < nLen; ++k) w += kLetters[Next(&nState) % 8];
    words.push_back(w);
  }
  return words;
}

void BM_ScanPage(benchmark::State &state) {
  WordMatcher matcher;
  std::string sError;
  if (WordMatcherBuild(MakeWords(static_cast<int>(state.range(0))), &matcher, &sError) != 1) {
    state.SkipWithError(sError.c_str());
    return;
  }
  const std::string &text = PageText();
  for (auto _ : state) {
    std::string sWord;
    ContentReport report;
    int nRc = CwfsScanContent(matcher, text.data(), text.size(), kCwfsMaxDecoded, &sWord, &report);
    benchmark::DoNotOptimize(nRc);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
  WordMatcherFree(&matcher);
}
BENCHMARK(BM_ScanPage)->Arg(1)->Arg(100)->Arg(10000)->Unit(benchmark::kMicrosecond);

// For contrast: one search over the page per word, as a simple loop would do
// (the page is lower case already, so no case folding is counted).
void BM_SearchPerWord(benchmark::State &state) {
  std::vector<std::string> words = MakeWords(static_cast<int>(state.range(0)));
  const std::string &text = PageText();
  for (auto _ : state) {
    std::size_t nHits = 0;
    for (const std::string &w : words) nHits += text.find(w) != std::string::npos;
    benchmark::DoNotOptimize(nHits);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_SearchPerWord)->Arg(1)->Arg(100)->Unit(benchmark::kMicrosecond);

// Compiling the list happens once per change of the file.
void BM_BuildList(benchmark::State &state) {
  std::vector<std::string> words = MakeWords(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    WordMatcher matcher;
    std::string sError;
    WordMatcherBuild(words, &matcher, &sError);
    WordMatcherFree(&matcher);
  }
}
BENCHMARK(BM_BuildList)->Arg(1)->Arg(10000)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
