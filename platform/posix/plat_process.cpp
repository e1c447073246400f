#include "platform/plat_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "platform/plat_time.h"

int PlatSpawn(const char *const *argv, const char *szOutFile, int *pnPid) {
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    // Child: only async-signal-safe calls until exec.
    int fdIn = open("/dev/null", O_RDONLY);
    if (fdIn >= 0) {
      dup2(fdIn, 0);
      if (fdIn > 2) close(fdIn);
    }
    if (szOutFile) {
      int fdOut = open(szOutFile, O_WRONLY | O_CREAT | O_APPEND, 0600);
      if (fdOut >= 0) {
        dup2(fdOut, 1);
        dup2(fdOut, 2);
        if (fdOut > 2) close(fdOut);
      }
    }
    // Signals blocked or ignored by the parent must not carry over.
    sigset_t all;
    sigemptyset(&all);
    sigprocmask(SIG_SETMASK, &all, nullptr);
    signal(SIGPIPE, SIG_DFL);
    execvp(argv[0], const_cast<char *const *>(argv));
    _exit(127);
  }
  *pnPid = static_cast<int>(pid);
  return 1;
}

int PlatStopProcess(int nPid) { return kill(static_cast<pid_t>(nPid), SIGTERM) == 0 ? 1 : -1; }

int PlatWaitProcess(int nPid, int nTimeoutMs, int *pnExit) {
  int64_t nDeadline = PlatSteadyMs() + (nTimeoutMs > 0 ? nTimeoutMs : 0);
  for (;;) {
    int nStatus = 0;
    pid_t r = waitpid(static_cast<pid_t>(nPid), &nStatus, WNOHANG);
    if (r == static_cast<pid_t>(nPid)) {
      if (pnExit) *pnExit = WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : 128 + WTERMSIG(nStatus);
      return 1;
    }
    if (r < 0 && errno != EINTR) return -1;
    if (PlatSteadyMs() >= nDeadline) return 0;
    PlatSleepMs(10);
  }
}

int PlatEndProcess(int nPid, int nGraceMs) {
  int nExit = -1;
  PlatStopProcess(nPid);
  int rc = PlatWaitProcess(nPid, nGraceMs, &nExit);
  if (rc == 0) {
    kill(static_cast<pid_t>(nPid), SIGKILL);
    rc = PlatWaitProcess(nPid, 5000, &nExit);
  }
  return rc == 1 ? nExit : -1;
}
