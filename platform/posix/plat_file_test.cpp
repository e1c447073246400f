#include "platform/plat_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <cerrno>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <atomic>
#include <thread>

#include "platform/plat_time.h"
#include "tests/unit/test_support.h"

namespace {

class PlatFileTest : public ::testing::Test {
 protected:
  void TearDown() override { chmod(m_dir.c_str(), 0755); }
  std::string P(const char *szName) { return (m_dir / szName).string(); }
  static std::string Read(const std::string &sPath) { return testsupport::ReadFile(sPath); }
  static void Write(const std::string &sPath, const std::string &sData) { testsupport::WriteFile(sPath, sData); }
  // No temporary files left behind.
  size_t Entries() {
    size_t n = 0;
    for ([[maybe_unused]] auto &e : std::filesystem::directory_iterator(m_dir)) ++n;
    return n;
  }
  testsupport::TempDir m_tmp{"plat_file_"};
  std::filesystem::path m_dir = m_tmp.Path();
};

TEST_F(PlatFileTest, FoldersAndInfo) {
  EXPECT_EQ(1, PlatMakeDir(P("d").c_str()));
  EXPECT_EQ(1, PlatMakeDir(P("d").c_str()));  // existing: no error
  EXPECT_EQ(-1, PlatMakeDir(P("no/such/parent").c_str()));
  Write(P("f"), std::string(1001, 'x'));
  uint64_t nSize = 0;
  int64_t nTime = 0;
  EXPECT_EQ(1, PlatFileInfo(P("f").c_str(), &nSize, &nTime));
  EXPECT_EQ(1001u, nSize);
  EXPECT_NEAR(static_cast<double>(PlatNow(nullptr)), static_cast<double>(nTime), 5);
  EXPECT_EQ(0, PlatFileInfo(P("missing").c_str(), &nSize, nullptr));
  EXPECT_EQ(1, PlatFileExists(P("d").c_str()));
  EXPECT_EQ(0, PlatFileExists(P("missing").c_str()));
}

TEST_F(PlatFileTest, OpenRetryWaitsForHandOff) {
  // Absent: gives up after the attempts (3 x 50 ms), not at once and not never.
  int64_t nStart = PlatSteadyMs();
  EXPECT_EQ(nullptr, PlatOpenRetry(P("late").c_str(), "rb", 3));
  EXPECT_GE(PlatSteadyMs() - nStart, 90);
  // Handed over while waiting: opened.
  std::thread writer([&] {
    PlatSleepMs(80);
    PlatWriteWholeFile(P("late").c_str(), "done", 4);
  });
  FILE *fp = PlatOpenRetry(P("late").c_str(), "rb", 40);
  writer.join();
  ASSERT_NE(nullptr, fp);
  char buf[8] = {};
  EXPECT_EQ(4u, fread(buf, 1, sizeof buf, fp));
  fclose(fp);
  EXPECT_STREQ("done", buf);
}

TEST_F(PlatFileTest, DeleteRetry) {
  Write(P("f"), "x");
  EXPECT_EQ(1, PlatDeleteRetry(P("f").c_str(), 5));
  EXPECT_EQ(0, PlatDeleteRetry(P("f").c_str(), 5));
  // A file that cannot be deleted ends the retries with -1 after the bound.
  if (geteuid() != 0) {
    Write(P("keep"), "x");
    chmod(m_dir.c_str(), 0555);
    EXPECT_EQ(-1, PlatDeleteRetry(P("keep").c_str(), 2));
    chmod(m_dir.c_str(), 0755);
  }
}

TEST_F(PlatFileTest, CopyMoveAndReplaceRules) {
  std::string sBig(3 * 1024 * 1024 + 17, '\0');
  for (size_t i = 0; i < sBig.size(); ++i) sBig[i] = static_cast<char>(i * 131);
  Write(P("a"), sBig);
  Write(P("b"), "old");
  EXPECT_EQ(-1, PlatCopyFile(P("a").c_str(), P("b").c_str(), 0));
  EXPECT_EQ("old", Read(P("b")));
  EXPECT_EQ(1, PlatCopyFile(P("a").c_str(), P("b").c_str(), 1));
  EXPECT_EQ(sBig, Read(P("b")));
  EXPECT_EQ(-1, PlatCopyFile(P("missing").c_str(), P("c").c_str(), 1));

  Write(P("c"), "c");
  EXPECT_EQ(-1, PlatMoveFile(P("c").c_str(), P("b").c_str(), 0, 0));
  EXPECT_EQ(sBig, Read(P("b")));
  EXPECT_EQ(1, PlatMoveFile(P("c").c_str(), P("b").c_str(), 1, 1));
  EXPECT_EQ("c", Read(P("b")));
  EXPECT_EQ(0, PlatFileExists(P("c").c_str()));
  EXPECT_EQ(1, PlatMoveFile(P("b").c_str(), P("d").c_str(), 0, 0));
  EXPECT_EQ(2u, Entries());  // a and d, no temporary files
}

TEST_F(PlatFileTest, WholeFileAndAppend) {
  EXPECT_EQ(1, PlatWriteWholeFile(P("w").c_str(), "first", 5));
  EXPECT_EQ(1, PlatWriteWholeFile(P("w").c_str(), "2nd", 3));
  EXPECT_EQ("2nd", Read(P("w")));
  EXPECT_EQ(-1, PlatWriteWholeFile(P("no/such/w").c_str(), "x", 1));
  EXPECT_EQ(1, PlatAppendFile(P("log").c_str(), "a\n", 2));
  EXPECT_EQ(1, PlatAppendFile(P("log").c_str(), "b\n", 2));
  EXPECT_EQ("a\nb\n", Read(P("log")));
  EXPECT_EQ(2u, Entries());
  // A collection file starts empty, even over an old one, and every block
  // is readable by name as soon as it is written.
  int fd = PlatCreateWriteFd(P("log").c_str());
  ASSERT_GE(fd, 0);
  EXPECT_EQ("", Read(P("log")));
  EXPECT_EQ(1, PlatWriteFd(fd, "GET ", 4));
  EXPECT_EQ("GET ", Read(P("log")));
  EXPECT_EQ(1, PlatWriteFd(fd, "/ HTTP/1.1\r\n", 12));
  EXPECT_EQ("GET / HTTP/1.1\r\n", Read(P("log")));
  PlatCloseFd(fd);
  EXPECT_EQ(-1, PlatCreateWriteFd(P("no/such/log").c_str()));
  EXPECT_EQ(-1, PlatWriteFd(-1, "x", 1));
}

// The rest of a partly read stream (stdio has read ahead of the reader) is
// appended byte for byte after what the output stream already holds.
TEST_F(PlatFileTest, CopyStreamRest) {
  std::string sBody;
  for (int i = 0; i < 300000; ++i) sBody += static_cast<char>(i * 7 % 256);
  Write(P("in"), "HTTP/1.1 200 OK\r\n\r\n" + sBody);
  FILE *pIn = fopen(P("in").c_str(), "rb");
  FILE *pOut = fopen(P("out").c_str(), "wb");
  ASSERT_TRUE(pIn && pOut);
  char szLine[64];
  ASSERT_NE(nullptr, fgets(szLine, sizeof szLine, pIn));
  ASSERT_NE(nullptr, fgets(szLine, sizeof szLine, pIn));
  fputs("kept:", pOut);  // still in the stream's buffer
  EXPECT_EQ(1, PlatCopyStreamRest(pIn, pOut));
  EXPECT_EQ(EOF, fgetc(pIn));
  fclose(pIn);
  fclose(pOut);
  EXPECT_EQ("kept:" + sBody, Read(P("out")));
}

// Spool files keep their inodes: a deleted spool file's name is gone, the
// next creation starts empty on the parked inode, and parking folders of
// processes that no longer run are cleared at the start.
TEST_F(PlatFileTest, SpoolFilesReuseInodes) {
  const std::string sDead = P("spare-999999999-3");
  Write(sDead, "");
  const std::string sDeadFolder = P("spare-999999998");  // earlier layout
  std::filesystem::create_directories(sDeadFolder);
  Write(sDeadFolder + "/0", "");
  const std::string sLive = P("spare-1-0");  // init runs: never removed
  Write(sLive, "");
  const std::string sOther = P("spare-parts.dat");  // not a parked file
  Write(sOther, "x");
  // Files an earlier run kept under their names: only its own empty ones go.
  Write(P("req-0-0006.dat"), "");
  Write(P("req-0-0006_a.html.tmp"), "");
  Write(P("req-0-0007.dat"), "left by a crash");
  Write(P("req-1-0006.dat"), "");  // another protocol's
  ASSERT_EQ(1, PlatSpoolInit(m_dir.c_str(), "req-0-"));
  EXPECT_FALSE(std::filesystem::exists(P("req-0-0006.dat")));
  EXPECT_FALSE(std::filesystem::exists(P("req-0-0006_a.html.tmp")));
  EXPECT_TRUE(std::filesystem::exists(P("req-0-0007.dat")));
  EXPECT_TRUE(std::filesystem::exists(P("req-1-0006.dat")));
  EXPECT_FALSE(std::filesystem::exists(sDead));
  EXPECT_FALSE(std::filesystem::exists(sDeadFolder));
  EXPECT_TRUE(std::filesystem::exists(sLive));
  EXPECT_TRUE(std::filesystem::exists(sOther));

  FILE *fp = PlatSpoolCreate(P("req.dat").c_str(), "wb");
  ASSERT_NE(nullptr, fp);
  fputs("GET / HTTP/1.1\r\n\r\n", fp);
  fclose(fp);
  struct stat st1;
  ASSERT_EQ(0, stat(P("req.dat").c_str(), &st1));
  EXPECT_EQ(1, PlatSpoolDelete(P("req.dat").c_str(), 1));
  EXPECT_FALSE(std::filesystem::exists(P("req.dat")));
  EXPECT_EQ(0, PlatSpoolDelete(P("req.dat").c_str(), 1));

  int fd = PlatSpoolCreateFd(P("other.dat").c_str());
  ASSERT_GE(fd, 0);
  EXPECT_EQ("", Read(P("other.dat")));  // nothing of the old content
  EXPECT_EQ(1, PlatWriteFd(fd, "abc", 3));
  PlatCloseFd(fd);
  struct stat st2;
  ASSERT_EQ(0, stat(P("other.dat").c_str(), &st2));
  EXPECT_EQ(st1.st_ino, st2.st_ino);
  EXPECT_EQ("abc", Read(P("other.dat")));

  // A link at a spool name is removed, never followed.
  Write(P("target"), "keep");
  std::filesystem::create_symlink(P("target"), P("link.dat"));
  EXPECT_EQ(1, PlatSpoolDelete(P("link.dat").c_str(), 1));
  EXPECT_FALSE(std::filesystem::is_symlink(P("link.dat")));
  EXPECT_EQ("keep", Read(P("target")));

  // Whatever reached a parked file after parking is not part of the next
  // spool file.
  EXPECT_EQ(1, PlatSpoolDelete(P("other.dat").c_str(), 1));
  const std::string sMine = "spare-" + std::to_string(getpid()) + "-";
  int nParked = 0;
  for (auto &e : std::filesystem::directory_iterator(m_dir))
    if (e.path().filename().string().rfind(sMine, 0) == 0) {
      Write(e.path().string(), "stale");
      ++nParked;
    }
  EXPECT_GE(nParked, 1);
  fp = PlatSpoolCreate(P("other.dat").c_str(), "wb");
  ASSERT_NE(nullptr, fp);
  fputs("new", fp);
  fclose(fp);
  EXPECT_EQ("new", Read(P("other.dat")));

  // With reuse stopped, deletion still deletes.
  PlatSpoolInit(nullptr);
  EXPECT_EQ(1, PlatSpoolDelete(P("other.dat").c_str(), 1));
  EXPECT_FALSE(std::filesystem::exists(P("other.dat")));
}

// A spool file kept for a slot is taken over by the slot's next creation:
// in place under the same name, renamed under another; anything that is no
// longer the emptied file it was is left alone.
TEST_F(PlatFileTest, KeptSpoolFilesAreTakenOverByTheirSlot) {
  enum Meddle { kNone, kWritten, kRemoved, kKeptAgain };
  static const struct {
    const char *szName;
    const char *szNext;  // the name the slot creates next
    int nNextSlot;
    Meddle eMeddle;
    bool bSameInode;     // the creation reused the kept file
    bool bKeptLeft;      // the kept name still exists afterwards
  } kCases[] = {
      {"same name", "k", 1, kNone, true, true},
      {"another name", "n", 1, kNone, true, false},
      {"another slot", "n", 2, kNone, false, true},
      {"written since", "n", 1, kWritten, false, true},
      {"removed since", "n", 1, kRemoved, false, false},  // inode not compared
      {"slot kept another file since", "n", 1, kKeptAgain, false, false},
  };
  ASSERT_EQ(1, PlatSpoolInit(m_dir.c_str()));
  for (const auto &c : kCases) {
    std::filesystem::remove(P("k"));
    std::filesystem::remove(P("n"));
    std::filesystem::remove(P("o"));
    Write(P("k"), "request bytes");
    ASSERT_EQ(1, PlatSpoolKeep(P("k").c_str(), 1)) << c.szName;
    EXPECT_EQ("", Read(P("k"))) << c.szName;
    struct stat stKept;
    ASSERT_EQ(0, stat(P("k").c_str(), &stKept));
    if (c.eMeddle == kWritten) Write(P("k"), "someone else's");
    if (c.eMeddle == kRemoved) std::filesystem::remove(P("k"));
    if (c.eMeddle == kKeptAgain) {
      Write(P("o"), "x");
      ASSERT_EQ(1, PlatSpoolKeep(P("o").c_str(), 1));
      EXPECT_FALSE(std::filesystem::exists(P("k"))) << c.szName;
    }
    int fd = PlatSpoolCreateFdSlot(P(c.szNext).c_str(), c.nNextSlot);
    ASSERT_GE(fd, 0) << c.szName;
    EXPECT_EQ(1, PlatWriteFd(fd, "next", 4));
    PlatCloseFd(fd);
    struct stat stNext;
    ASSERT_EQ(0, stat(P(c.szNext).c_str(), &stNext));
    // (A removed file's inode may come back for the new file.)
    if (c.eMeddle != kRemoved) {
      EXPECT_EQ(c.bSameInode, stNext.st_ino == stKept.st_ino) << c.szName;
    }
    EXPECT_EQ("next", Read(P(c.szNext))) << c.szName;
    EXPECT_EQ(c.bKeptLeft, std::filesystem::exists(P("k"))) << c.szName;
    if (c.eMeddle == kWritten) {
      EXPECT_EQ("someone else's", Read(P("k"))) << c.szName;
    }
    PlatSpoolDropKept();
  }
  // Slots out of range and missing files are deleted or left missing.
  Write(P("x"), "x");
  EXPECT_EQ(0, PlatSpoolKeep(P("x").c_str(), -1));
  EXPECT_FALSE(std::filesystem::exists(P("x")));
  EXPECT_EQ(0, PlatSpoolKeep(P("none").c_str(), 3));
  // The end of the process takes every kept file away.
  Write(P("a"), "a");
  Write(P("b"), "b");
  ASSERT_EQ(1, PlatSpoolKeep(P("a").c_str(), 4));
  ASSERT_EQ(1, PlatSpoolKeep(P("b").c_str(), 5));
  FILE *fp = PlatSpoolCreateSlot(P("c").c_str(), "wb", 5);
  ASSERT_NE(nullptr, fp);
  fclose(fp);
  PlatSpoolDropKept();
  EXPECT_FALSE(std::filesystem::exists(P("a")));
  EXPECT_FALSE(std::filesystem::exists(P("b")));
  EXPECT_TRUE(std::filesystem::exists(P("c")));  // taken over: no longer kept
}

TEST(PlatTimeTest, LocalFileTimeUnits) {
  // 1970-01-01 00:00:00 UTC is 116444736000000000 in 100-ns units since
  // 1601; local time adds the zone offset.
  PlatTm tmv;
  PlatLocalTime(0, &tmv);
  EXPECT_EQ(static_cast<uint64_t>(116444736000000000LL + tmv.nGmtOff * 10000000LL), PlatToLocalFileTime(0));
  PlatTm utc = {2024, 2, 29, 12, 30, 15, 0, 0, 0, 0};
  int64_t t = PlatMakeUtc(&utc);
  PlatTm back;
  PlatUtcTime(t, &back);
  EXPECT_EQ(2024, back.nYear);
  EXPECT_EQ(2, back.nMonth);
  EXPECT_EQ(29, back.nDay);
  EXPECT_EQ(15, back.nSecond);
}

TEST(PlatTimeTest, ThreadStartRunsDetached) {
  static std::atomic<int> s_nRan{0};
  static int s_nArg = 7;
  ASSERT_EQ(0, PlatStartThread([](void *p) { s_nRan = *static_cast<int *>(p); }, &s_nArg));
  for (int i = 0; i < 200 && s_nRan == 0; ++i) PlatSleepMs(5);
  EXPECT_EQ(7, s_nRan);
}

// Threads that finished wait for later starts; every start still gets a
// thread of its own: eight starts that each wait for all eight to be
// running complete only when they run at the same time, batch after batch.
TEST(PlatTimeTest, ThreadStartsRunTogetherOnWaitingThreads) {
  static std::atomic<int> s_nRunning{0};
  static std::atomic<int> s_nDone{0};
  constexpr int kBatch = 8;
  PlatReuseThreads(1);
  for (int nRound = 1; nRound <= 3; ++nRound) {
    s_nRunning = 0;
    for (int i = 0; i < kBatch; ++i) {
      ASSERT_EQ(0, PlatStartThread(
                       [](void *) {
                         ++s_nRunning;
                         for (int j = 0; j < 1000 && s_nRunning < kBatch; ++j) PlatSleepMs(5);
                         if (s_nRunning >= kBatch) ++s_nDone;
                       },
                       nullptr));
    }
    for (int i = 0; i < 1000 && s_nDone < nRound * kBatch; ++i) PlatSleepMs(5);
    ASSERT_EQ(nRound * kBatch, s_nDone);
    PlatSleepMs(20);  // the threads are waiting again
  }
  PlatReuseThreads(0);
}

// Whatever creates a file or folder, it is the owner's alone, even under a
// permissive creation mask.
TEST_F(PlatFileTest, CreatedFilesArePrivate) {
  mode_t nOld = umask(022);
  Write(P("src"), "x");
  int fd = PlatCreateWriteFd(P("fd").c_str());
  PlatCloseFd(fd);
  static const struct {
    const char *szName;
    int (*pfnMake)(const std::string &sPath, const std::string &sSrc);
    mode_t nWant;
  } kCases[] = {
      {"dir", [](const std::string &p, const std::string &) { return PlatMakeDir(p.c_str()); }, 0700},
      {"append", [](const std::string &p, const std::string &) { return PlatAppendFile(p.c_str(), "a", 1); }, 0600},
      {"whole", [](const std::string &p, const std::string &) { return PlatWriteWholeFile(p.c_str(), "w", 1); }, 0600},
      {"copy", [](const std::string &p, const std::string &s) { return PlatCopyFile(s.c_str(), p.c_str(), 1); }, 0600},
      {"fd", [](const std::string &, const std::string &) { return 1; }, 0600},
  };
  for (const auto &c : kCases) {
    ASSERT_EQ(1, c.pfnMake(P(c.szName), P("src"))) << c.szName;
    struct stat st;
    ASSERT_EQ(0, stat(P(c.szName).c_str(), &st)) << c.szName;
    EXPECT_EQ(c.nWant, st.st_mode & 0777) << c.szName;
  }
  umask(nOld);
}

}  // namespace

namespace {

// A name planted as a symbolic link is never followed: every way of
// opening, creating, appending to or copying from it fails and leaves the
// target alone, and a new name ("x") replaces the link by a file.
TEST_F(PlatFileTest, LinksUnderSpoolNamesAreNotFollowed) {
  Write(P("target"), "secret");
  ASSERT_EQ(0, symlink(P("target").c_str(), P("link").c_str()));
  static const char *const kModes[] = {"rb", "wb", "ab", "r+b"};
  for (const char *szMode : kModes) {
    EXPECT_EQ(nullptr, PlatFileOpen(P("link").c_str(), szMode)) << szMode;
    EXPECT_EQ(ELOOP, errno) << szMode;
  }
  EXPECT_EQ(nullptr, PlatSpoolCreate(P("link").c_str(), "wb"));
  EXPECT_EQ(-1, PlatSpoolCreateFd(P("link").c_str()));
  EXPECT_EQ(-1, PlatCreateWriteFd(P("link").c_str()));
  // A kept name that became a link is not taken over.
  Write(P("kept"), "");
  ASSERT_EQ(1, PlatSpoolKeep(P("kept").c_str(), 7));
  ASSERT_EQ(0, unlink(P("kept").c_str()));
  ASSERT_EQ(0, symlink(P("target").c_str(), P("kept").c_str()));
  EXPECT_EQ(-1, PlatSpoolCreateFdSlot(P("kept").c_str(), 7));
  EXPECT_EQ(-1, PlatAppendFile(P("link").c_str(), "x", 1));
  EXPECT_EQ(-1, PlatCopyFile(P("link").c_str(), P("copy").c_str(), 1));
  EXPECT_EQ(nullptr, PlatSpoolOpenRetry(P("link").c_str(), "rb", 100));  // at once, no retries
  EXPECT_EQ("secret", Read(P("target")));
  // List and settings files may be links.
  FILE *pList = PlatOpenRetry(P("link").c_str(), "rb", 1);
  ASSERT_NE(nullptr, pList);
  fclose(pList);
  FILE *fp = PlatFileOpen(P("link").c_str(), "wbx");
  ASSERT_NE(nullptr, fp);
  fputs("new", fp);
  fclose(fp);
  struct stat st;
  ASSERT_EQ(0, lstat(P("link").c_str(), &st));
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ("new", Read(P("link")));
  EXPECT_EQ("secret", Read(P("target")));
}

// A write the file does not take is reported, at once or at the close at
// the latest, and the stream stays failed.
TEST_F(PlatFileTest, SpoolWriteFailuresAreReported) {
  FILE *fp = fopen("/dev/full", "wb");
  if (fp == nullptr) GTEST_SKIP() << "no /dev/full";
  EXPECT_EQ(1, PlatSpoolAppend(fp, "x", 1));  // still in the buffer
  EXPECT_EQ(-1, PlatSpoolClose(fp));
  fp = fopen("/dev/full", "wb");
  ASSERT_NE(nullptr, fp);
  std::string big(1 << 20, 'b');
  EXPECT_EQ(-1, PlatSpoolAppend(fp, big.data(), big.size()));
  EXPECT_EQ(-1, PlatSpoolAppend(fp, "y", 1));
  EXPECT_EQ(-1, PlatSpoolClose(fp));
  EXPECT_EQ(-1, PlatSpoolClose(nullptr));
  EXPECT_EQ(-1, PlatAppendFile("/dev/full", "z", 1));
  fp = PlatFileOpen(P("ok").c_str(), "wb");
  ASSERT_NE(nullptr, fp);
  EXPECT_EQ(1, PlatSpoolAppend(fp, big.data(), big.size()));
  EXPECT_EQ(1, PlatSpoolClose(fp));
  EXPECT_EQ(big.size(), Read(P("ok")).size());
}

}  // namespace
