// The console, watched from outside: a helper program runs the calls with its
// output on a pipe (no terminal) or on a pty that the test plays.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/clock.h"

namespace {

// The child starts with the signal settings of a fresh program, whatever the
// test runner has blocked or ignored.
void ResetSignals() {
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) signal(sig, SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
}

struct Child {
  pid_t pid = -1;
  int out = -1;  // its output (a pipe) or the pty master
  int in = -1;   // the pipe to its standard input, or -1
};

// Runs the helper with stdout and stderr on a pipe; stdin from a pipe when
// `input` is given (closed after writing it), else from /dev/null.
Child SpawnPiped(std::vector<std::string> args, const std::string* input = nullptr) {
  int outPipe[2], inPipe[2];
  EXPECT_EQ(pipe(outPipe), 0);
  EXPECT_EQ(pipe(inPipe), 0);
  Child c;
  c.pid = fork();
  if (c.pid == 0) {
    ResetSignals();
    dup2(outPipe[1], 1);
    dup2(outPipe[1], 2);
    if (input) {
      dup2(inPipe[0], 0);
    } else {
      int null = open("/dev/null", O_RDONLY);
      dup2(null, 0);
    }
    for (int fd : {outPipe[0], outPipe[1], inPipe[0], inPipe[1]}) close(fd);
    std::vector<char*> argv{const_cast<char*>(CONSOLE_HELPER)};
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(CONSOLE_HELPER, argv.data());
    _exit(127);
  }
  close(outPipe[1]);
  close(inPipe[0]);
  c.out = outPipe[0];
  if (input) {
    EXPECT_EQ(write(inPipe[1], input->data(), input->size()), static_cast<ssize_t>(input->size()));
  }
  close(inPipe[1]);
  return c;
}

// Runs the helper on a new pty, as its controlling terminal.
Child SpawnOnPty(std::vector<std::string> args) {
  Child c;
  int master = -1;
  c.pid = forkpty(&master, nullptr, nullptr, nullptr);
  if (c.pid == 0) {
    ResetSignals();
    std::vector<char*> argv{const_cast<char*>(CONSOLE_HELPER)};
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(CONSOLE_HELPER, argv.data());
    _exit(127);
  }
  c.out = master;
  return c;
}

// Reads until `needle` has appeared (empty: until the end) or timeoutMs.
bool ReadUntil(int fd, std::string* got, const std::string& needle, int timeoutMs = 5000) {
  uint32_t start = platform::MonotonicMs();
  for (;;) {
    if (!needle.empty() && got->find(needle) != std::string::npos) return true;
    int left = timeoutMs - static_cast<int>(platform::MonotonicMs() - start);
    if (left <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, left) <= 0) continue;
    char buf[512];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) return needle.empty();  // the end (EIO on a pty whose child has gone)
    got->append(buf, static_cast<size_t>(n));
  }
}

// Waits for the child; its wait status.
int Reap(Child& c) {
  int status = 0;
  for (int i = 0; i < 500; i++) {
    pid_t r = waitpid(c.pid, &status, WNOHANG);
    if (r == c.pid) break;
    if (i == 499) {
      kill(c.pid, SIGKILL);
      waitpid(c.pid, &status, 0);
      ADD_FAILURE() << "the helper did not end";
    }
    usleep(10000);
  }
  if (c.out >= 0) close(c.out);
  c.out = -1;
  return status;
}

// Waits until the terminal behind the pty master has echo off.
bool WaitForEchoOff(int master) {
  for (int i = 0; i < 500; i++) {
    termios tio;
    if (tcgetattr(master, &tio) == 0 && (tio.c_lflag & ECHO) == 0) return true;
    usleep(10000);
  }
  return false;
}

bool DiedOf(int status, int sig) { return WIFSIGNALED(status) && WTERMSIG(status) == sig; }

TEST(ConsoleWithoutTerminal, CursorCallsPrintNothing) {
  Child c = SpawnPiped({"cursor"});
  std::string out;
  ReadUntil(c.out, &out, "");
  int status = Reap(c);
  EXPECT_EQ(out, "Aat 0,0\nB\n");
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(ConsoleWithoutTerminal, KeysAreTheBytesOfInputThenItsEnd) {
  std::string input = "xy";
  Child c = SpawnPiped({"keys"}, &input);
  std::string out;
  ReadUntil(c.out, &out, "");
  int status = Reap(c);
  EXPECT_EQ(out, "waiting=1\nready\nk=120\nk=121\nk=-1\nagain=-1\n");
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// Lines from a pipe: a long line comes in parts, the last needs no line
// end, and the end of input is reported on every read after it.
TEST(ConsoleWithoutTerminal, LinesComeWholeOrInPartsThenTheEnd) {
  const std::string input = "12\n\nabcdefghij\nlast";
  Child c = SpawnPiped({"lines"}, &input);
  std::string out;
  ReadUntil(c.out, &out, "");
  Reap(c);
  EXPECT_EQ(out,
            "n=3 [12|]\n"
            "n=1 [|]\n"
            "n=7 [abcdefg]\n"
            "n=4 [hij|]\n"
            "n=4 [last]\n"
            "end, again=-1\n");
}

TEST(ControlHandler, SignalRunsTheHandlerThenEndsTheProcessByThatSignal) {
  struct Case { int sig; const char* line; } cases[] = {
      {SIGINT, "handler 0"}, {SIGTERM, "handler 1"}, {SIGHUP, "handler 2"}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.line);
    Child c = SpawnPiped({"control"});
    std::string out;
    ASSERT_TRUE(ReadUntil(c.out, &out, "ready\n"));
    kill(c.pid, k.sig);
    ReadUntil(c.out, &out, "");
    int status = Reap(c);
    EXPECT_NE(out.find(k.line), std::string::npos) << out;
    EXPECT_TRUE(DiedOf(status, k.sig)) << "status " << status;
  }
}

TEST(ControlHandler, RaisedEventEndsTheProcessLikeTheSignal) {
  struct Case { const char* event; int sig; const char* line; } cases[] = {
      {"0", SIGINT, "handler 0"}, {"1", SIGTERM, "handler 1"}, {"2", SIGHUP, "handler 2"}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.line);
    Child c = SpawnPiped({"raise", k.event});
    std::string out;
    ReadUntil(c.out, &out, "");
    int status = Reap(c);
    EXPECT_NE(out.find(k.line), std::string::npos) << out;
    EXPECT_EQ(out.find(k.line), out.rfind(k.line)) << "the handler ran twice";
    EXPECT_TRUE(DiedOf(status, k.sig)) << "status " << status;
  }
  Child c = SpawnPiped({"raise-unhandled"});
  std::string out;
  ReadUntil(c.out, &out, "");
  EXPECT_TRUE(DiedOf(Reap(c), SIGINT));

  // Input that has ended, then the event, as a prompt that can never be answered does.
  std::string none;
  c = SpawnPiped({"keys-then-raise"}, &none);
  out.clear();
  ReadUntil(c.out, &out, "");
  int status = Reap(c);
  EXPECT_NE(out.find("k=-1\n\n handler 0\n"), std::string::npos) << out;
  EXPECT_TRUE(DiedOf(status, SIGINT));
}

TEST(ConsoleOnTerminal, CursorIsAskedOfTheTerminalAndMovedByEscapes) {
  Child c = SpawnOnPty({"cursor", "then-key"});
  std::string out;
  ASSERT_TRUE(ReadUntil(c.out, &out, "\x1b[6n"));
  // A key typed just before the answer is kept for the next key read.
  ASSERT_EQ(write(c.out, "z\x1b[5;10R", 8), 8);
  ASSERT_TRUE(ReadUntil(c.out, &out, "k="));
  ReadUntil(c.out, &out, "\n");
  int status = Reap(c);
  EXPECT_NE(out.find("at 9,4"), std::string::npos) << out;
  EXPECT_NE(out.find("\x1b[5;4H"), std::string::npos);
  std::string blank = "\x1b" "7\x1b[3;1H" + std::string(80, ' ') + "\x1b" "8";
  EXPECT_NE(out.find(blank), std::string::npos);
  EXPECT_NE(out.find("k=122"), std::string::npos) << out;
  EXPECT_EQ(out.find("z"), std::string::npos) << "the kept key was echoed";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// Keys typed while the cursor query waited begin the next line; they are
// shown then, and the rest of the line comes through the terminal's own
// line editing.
TEST(ConsoleOnTerminal, KeysTypedDuringACursorQueryBeginTheNextLine) {
  Child c = SpawnOnPty({"cursor-then-lines"});
  std::string out;
  ASSERT_TRUE(ReadUntil(c.out, &out, "\x1b[6n"));
  const char typed[] = "4x\x7f" "2\x1b[5;10R";
  ASSERT_EQ(write(c.out, typed, sizeof typed - 1), static_cast<ssize_t>(sizeof typed - 1));
  ASSERT_TRUE(ReadUntil(c.out, &out, "at 9,4"));
  // Back in canonical mode (echo on again) before the rest is typed.
  termios tio;
  for (int i = 0; i < 500; i++) {
    if (tcgetattr(c.out, &tio) == 0 && (tio.c_lflag & ECHO) != 0) break;
    usleep(10000);
  }
  ASSERT_EQ(write(c.out, "7\r", 2), 2);
  ASSERT_TRUE(ReadUntil(c.out, &out, "n=4 [427|]")) << out;
  ASSERT_EQ(write(c.out, "\x04", 1), 1);  // Ctrl+D at the start of a line: the end
  ASSERT_TRUE(ReadUntil(c.out, &out, "end, again=-1")) << out;
  int status = Reap(c);
  EXPECT_NE(out.find("42"), std::string::npos) << "the kept keys were not shown: " << out;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(ConsoleOnTerminal, TerminalThatDoesNotAnswerGivesTheOrigin) {
  Child c = SpawnOnPty({"cursor"});
  std::string out;
  ASSERT_TRUE(ReadUntil(c.out, &out, "B"));
  Reap(c);
  EXPECT_NE(out.find("at 0,0"), std::string::npos) << out;
}

TEST(ConsoleOnTerminal, KeysComeWithoutEchoAndCtrlCRestoresTheTerminal) {
  Child c = SpawnOnPty({"keys"});
  std::string out;
  ASSERT_TRUE(ReadUntil(c.out, &out, "ready"));
  // Keys typed before the program waits for one are echoed by the terminal
  // as always: type once the key wait has turned echo off.
  ASSERT_TRUE(WaitForEchoOff(c.out));
  ASSERT_EQ(write(c.out, "QW", 2), 2);
  ASSERT_TRUE(ReadUntil(c.out, &out, "k=87"));
  EXPECT_NE(out.find("k=81"), std::string::npos);
  EXPECT_EQ(out.find_first_of("QW"), std::string::npos) << "echoed: " << out;
  // Ctrl+C in the middle of the next key wait.
  usleep(50000);
  ASSERT_EQ(write(c.out, "\x03", 1), 1);
  ASSERT_TRUE(ReadUntil(c.out, &out, "handler 0"));
  termios tio;
  usleep(50000);
  ASSERT_EQ(tcgetattr(c.out, &tio), 0);
  EXPECT_NE(tio.c_lflag & ICANON, 0u) << "left without line editing";
  EXPECT_NE(tio.c_lflag & ECHO, 0u) << "left without echo";
  EXPECT_TRUE(DiedOf(Reap(c), SIGINT));
}

}  // namespace
