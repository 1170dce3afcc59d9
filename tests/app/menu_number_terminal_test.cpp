// ReadMenuNumber on a pty: keys typed while the cursor query waits for the
// terminal's answer are part of the number typed after it.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <string>

#include "platform/clock.h"

namespace {

pid_t SpawnOnPty(int* master) {
  pid_t pid = forkpty(master, nullptr, nullptr, nullptr);
  if (pid == 0) {
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) signal(sig, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execl(MENU_NUMBER_HELPER, MENU_NUMBER_HELPER, static_cast<char*>(nullptr));
    _exit(127);
  }
  return pid;
}

// Reads until `needle` appears at or after `from`, or timeoutMs.
bool ReadUntil(int fd, std::string* got, const std::string& needle, size_t from = 0,
               int timeoutMs = 5000) {
  uint32_t start = platform::MonotonicMs();
  for (;;) {
    if (got->find(needle, from) != std::string::npos) return true;
    int left = timeoutMs - static_cast<int>(platform::MonotonicMs() - start);
    if (left <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, left) <= 0) continue;
    char buf[512];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) return false;
    got->append(buf, static_cast<size_t>(n));
  }
}

int Reap(pid_t pid) {
  int status = 0;
  for (int i = 0; i < 500; i++) {
    if (waitpid(pid, &status, WNOHANG) == pid) return status;
    usleep(10000);
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  ADD_FAILURE() << "the helper did not end";
  return status;
}

TEST(ReadMenuNumberOnTerminal, KeysTypedDuringTheCursorQueryCount) {
  const struct {
    const char* duringQuery;  // typed before the terminal answers
    const char* after;        // typed once the query is over
    const char* expected;
  } cases[] = {
      {"1", "2\r", "number 11"},      // entry 12: the first digit came early
      {"3\r", "", "number 2"},        // the whole answer came early
      {"x", "5\r", "number -1"},      // not a number, as typed in one go
      {"\r", "4\r", "number 3"},      // an early empty line is skipped
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    int master = -1;
    pid_t pid = SpawnOnPty(&master);
    ASSERT_GT(pid, 0);
    std::string out;
    ASSERT_TRUE(ReadUntil(master, &out, "\x1b[6n"));
    std::string early = std::string(c.duringQuery) + "\x1b[3;7R";
    ASSERT_EQ(write(master, early.data(), early.size()), static_cast<ssize_t>(early.size()));
    ASSERT_TRUE(ReadUntil(master, &out, "at 6,2")) << out;
    std::string late = c.after;
    if (!late.empty()) {
      ASSERT_EQ(write(master, late.data(), late.size()), static_cast<ssize_t>(late.size()));
    }
    ASSERT_TRUE(ReadUntil(master, &out, c.expected)) << out;
    // At the end of input: -1 once, then the program ends as on a hang-up.
    const size_t mark = out.size();
    ASSERT_EQ(write(master, "\x04", 1), 1);
    ASSERT_TRUE(ReadUntil(master, &out, "number -1", mark)) << out;
    int status = Reap(pid);
    close(master);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGHUP) << status;
  }
}

}  // namespace
