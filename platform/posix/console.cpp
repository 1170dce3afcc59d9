// The console on a terminal: escape sequences for the cursor, termios for
// keys, and a signal thread for the control handler.
//
// Terminal input is shared: a cursor query's answer arrives among the keys.
// Every read of the terminal therefore goes through Pump, which splits what
// arrives into cursor answers and keys kept for ConsoleReadKey, so a query on
// one thread and a key wait on another do not take each other's bytes.
#include "platform/console.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <mutex>

#include "platform/clock.h"

namespace platform {

namespace {

constexpr uint8_t kEsc = 0x1B;
constexpr int kCursorReplyMs = 500;  // a terminal that never answers costs this once per query

struct TerminalInput {
  std::mutex mutex;  // everything below; held only briefly, never across a wait
  int fd = -1;       // the terminal read: stdin when it is one, else /dev/tty
  bool fdChecked = false;
  bool ended = false;

  // Keys read while looking for a cursor answer, or by the pump, in order.
  std::array<uint8_t, 256> keys{};
  size_t keyHead = 0;
  size_t keyCount = 0;

  // Raw mode, shared by all the calls that need it at once.
  int rawUsers = 0;
  termios saved{};

  // The parse of a cursor answer, ESC [ row ; column R.
  int queries = 0;        // cursor queries waiting for their answer
  std::array<uint8_t, 16> held{};
  size_t heldCount = 0;
  int parseState = 0;     // 0 idle, 1 after ESC, 2 row digits, 3 column digits
  int row = 0, column = 0;
  uint32_t answers = 0;   // answers seen so far
  int lastRow = 0, lastColumn = 0;
};

TerminalInput gInput;

void PushKey(uint8_t key) {
  TerminalInput& in = gInput;
  if (in.keyCount == in.keys.size()) return;  // typing far ahead: the excess is lost
  in.keys[(in.keyHead + in.keyCount) % in.keys.size()] = key;
  in.keyCount++;
}

int PopKey() {
  TerminalInput& in = gInput;
  if (in.keyCount == 0) return -1;
  uint8_t key = in.keys[in.keyHead];
  in.keyHead = (in.keyHead + 1) % in.keys.size();
  in.keyCount--;
  return key;
}

// What the parser held turns out to be keys after all.
void ReleaseHeld() {
  TerminalInput& in = gInput;
  for (size_t i = 0; i < in.heldCount; i++) PushKey(in.held[i]);
  in.heldCount = 0;
  in.parseState = 0;
}

void TakeByte(uint8_t b) {
  TerminalInput& in = gInput;
  if (in.queries == 0) {
    PushKey(b);
    return;
  }
  bool fits = in.heldCount < in.held.size();
  switch (in.parseState) {
    case 0:
      if (b == kEsc) {
        in.held[0] = b;
        in.heldCount = 1;
        in.parseState = 1;
      } else {
        PushKey(b);
      }
      return;
    case 1:
      if (b == '[') {
        in.held[in.heldCount++] = b;
        in.parseState = 2;
        in.row = 0;
        return;
      }
      break;
    case 2:
    case 3: {
      int& value = in.parseState == 2 ? in.row : in.column;
      if (b >= '0' && b <= '9' && fits && value < 10000) {
        in.held[in.heldCount++] = b;
        value = value * 10 + (b - '0');
        return;
      }
      if (b == ';' && in.parseState == 2 && fits) {
        in.held[in.heldCount++] = b;
        in.parseState = 3;
        in.column = 0;
        return;
      }
      if (b == 'R' && in.parseState == 3) {
        in.lastRow = in.row;
        in.lastColumn = in.column;
        in.answers++;
        in.heldCount = 0;
        in.parseState = 0;
        return;
      }
      break;
    }
  }
  ReleaseHeld();
  TakeByte(b);
}

// The terminal to read, opened once. Caller holds the mutex.
int InputFd() {
  TerminalInput& in = gInput;
  if (!in.fdChecked) {
    in.fdChecked = true;
    if (isatty(STDIN_FILENO)) {
      in.fd = STDIN_FILENO;
    } else {
      in.fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    }
  }
  return in.fd;
}

// Non-canonical, no echo, reads that never block; signals stay on, so that
// Ctrl+C still reaches the control handler. Caller holds the mutex.
bool EnterRaw() {
  TerminalInput& in = gInput;
  int fd = InputFd();
  if (fd < 0) return false;
  if (in.rawUsers == 0) {
    if (tcgetattr(fd, &in.saved) != 0) return false;
    termios raw = in.saved;
    raw.c_lflag &= ~(ICANON | ECHO);
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 0;
    if (tcsetattr(fd, TCSANOW, &raw) != 0) return false;
  }
  in.rawUsers++;
  return true;
}

void LeaveRaw() {
  TerminalInput& in = gInput;
  if (in.rawUsers > 0 && --in.rawUsers == 0) tcsetattr(in.fd, TCSANOW, &in.saved);
}

// Waits up to timeoutMs for terminal input and sorts what came. Called in raw
// mode, without the mutex.
void Pump(int fd, int timeoutMs) {
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, timeoutMs) <= 0) return;
  std::lock_guard<std::mutex> hold(gInput.mutex);
  uint8_t buf[64];
  ssize_t n = read(fd, buf, sizeof buf);
  if (n > 0) {
    for (ssize_t i = 0; i < n; i++) TakeByte(buf[i]);
  } else if ((n == 0 && (p.revents & (POLLHUP | POLLERR))) ||
             (n < 0 && errno != EAGAIN && errno != EINTR)) {
    gInput.ended = true;  // the terminal has gone
  }
}

bool OutputIsTerminal() { return isatty(STDOUT_FILENO) != 0; }

// Writes an escape sequence through stdio, in order with the rest of the output.
void Emit(const char* text) {
  std::fputs(text, stdout);
  std::fflush(stdout);
}

// One byte of standard input that is no terminal, through stdio so that it
// follows what formatted input has buffered.
int ReadPlainByte() {
  for (;;) {
    int c = std::getc(stdin);
    if (c != EOF) return c;
    if (std::ferror(stdin) && errno == EINTR) {
      std::clearerr(stdin);
      continue;
    }
    return kEndOfInput;
  }
}

}  // namespace

ConsolePosition ConsoleGetCursor() {
  ConsolePosition none{0, 0};
  if (!OutputIsTerminal()) return none;
  int fd;
  uint32_t before;
  {
    std::lock_guard<std::mutex> hold(gInput.mutex);
    if (!EnterRaw()) return none;
    fd = gInput.fd;
    gInput.queries++;
    before = gInput.answers;
    Emit("\x1b[6n");
  }
  uint32_t start = MonotonicMs();
  ConsolePosition at = none;
  bool answered = false;
  for (;;) {
    {
      std::lock_guard<std::mutex> hold(gInput.mutex);
      if (gInput.answers != before) {
        at.row = static_cast<int16_t>(gInput.lastRow > 0 ? gInput.lastRow - 1 : 0);
        at.column = static_cast<int16_t>(gInput.lastColumn > 0 ? gInput.lastColumn - 1 : 0);
        answered = true;
      }
      if (answered || gInput.ended) break;
    }
    int left = kCursorReplyMs - static_cast<int>(MonotonicMs() - start);
    if (left <= 0) break;
    Pump(fd, left);
  }
  std::lock_guard<std::mutex> hold(gInput.mutex);
  if (--gInput.queries == 0) ReleaseHeld();
  LeaveRaw();
  return at;
}

void ConsoleSetCursor(ConsolePosition position) {
  if (!OutputIsTerminal()) return;
  char text[32];
  std::snprintf(text, sizeof text, "\x1b[%d;%dH", position.row < 0 ? 1 : position.row + 1,
                position.column < 0 ? 1 : position.column + 1);
  Emit(text);
}

void ConsoleBlankRow(int16_t row, int width) {
  if (!OutputIsTerminal()) return;
  if (width < 0) width = 0;
  if (width > 1024) width = 1024;
  // Save the cursor, blank from column 0, put the cursor back; one write, so
  // other output cannot land in between.
  char text[1100];
  int n = std::snprintf(text, sizeof text, "\x1b" "7\x1b[%d;1H", row < 0 ? 1 : row + 1);
  for (int i = 0; i < width; i++) text[n++] = ' ';
  text[n++] = kEsc;
  text[n++] = '8';
  text[n] = '\0';
  Emit(text);
}

int ConsoleReadKey() {
  std::fflush(stdout);  // the prompt is on the screen before the wait
  if (!isatty(STDIN_FILENO)) return ReadPlainByte();
  int fd;
  {
    std::lock_guard<std::mutex> hold(gInput.mutex);
    int key = PopKey();
    if (key >= 0) return key;
    if (gInput.ended) return kEndOfInput;
    if (!EnterRaw()) return ReadPlainByte();
    fd = gInput.fd;
  }
  int key = kEndOfInput;
  for (;;) {
    {
      std::lock_guard<std::mutex> hold(gInput.mutex);
      key = PopKey();
      if (key >= 0 || gInput.ended) break;
    }
    Pump(fd, 200);
  }
  std::lock_guard<std::mutex> hold(gInput.mutex);
  LeaveRaw();
  return key >= 0 ? key : kEndOfInput;
}

int ConsoleReadLine(char* buffer, size_t size) {
  std::fflush(stdout);
  if (buffer == nullptr || size < 2) {
    if (buffer != nullptr && size == 1) buffer[0] = '\0';
    return 0;
  }
  const size_t room = size - 1;
  size_t n = 0;
  bool complete = false;
  if (isatty(STDIN_FILENO)) {
    // Keys taken off the terminal while no echo was on: shown now, with the
    // line editing the terminal would have done for them.
    std::lock_guard<std::mutex> hold(gInput.mutex);
    while (n < room && !complete) {
      int key = PopKey();
      if (key < 0) break;
      if (key == 0x7F || key == '\b') {
        if (n > 0) {
          n--;
          if (OutputIsTerminal()) std::fputs("\b \b", stdout);
        }
        continue;
      }
      buffer[n++] = static_cast<char>(key);
      if (OutputIsTerminal()) std::fputc(key == '\r' ? '\n' : key, stdout);
      if (key == '\r') buffer[n - 1] = '\n';
      complete = key == '\n' || key == '\r';
    }
    if (n > 0) std::fflush(stdout);
    if (n == 0 && gInput.ended) {
      buffer[0] = '\0';
      return kEndOfInput;
    }
  }
  // The rest through stdio: on a terminal in canonical mode a read gives at
  // most one line, and on a pipe stdio keeps what formatted input buffered.
  while (n < room && !complete) {
    int c = ReadPlainByte();
    if (c == kEndOfInput) break;
    buffer[n++] = static_cast<char>(c);
    complete = c == '\n';
  }
  buffer[n] = '\0';
  return n == 0 && !complete ? kEndOfInput : static_cast<int>(n);
}

int ConsoleKeyWaiting() {
  if (!isatty(STDIN_FILENO)) {
#ifdef __GLIBC__
    if (stdin->_IO_read_ptr < stdin->_IO_read_end) return 1;  // buffered by formatted input
#endif
    if (std::feof(stdin)) return 1;  // the read that follows reports the end
    pollfd p{STDIN_FILENO, POLLIN, 0};
    return poll(&p, 1, 0) > 0 ? 1 : 0;  // data, or the end of it
  }
  int fd;
  {
    std::lock_guard<std::mutex> hold(gInput.mutex);
    if (gInput.keyCount > 0 || gInput.ended) return 1;
    // Raw for a moment: a key typed without Enter is then readable.
    if (!EnterRaw()) return 0;
    fd = gInput.fd;
  }
  Pump(fd, 0);
  std::lock_guard<std::mutex> hold(gInput.mutex);
  LeaveRaw();
  return gInput.keyCount > 0 || gInput.ended ? 1 : 0;
}

namespace {

std::atomic<ControlHandler> gHandler{nullptr};
std::atomic<bool> gSignalThreadRunning{false};
sigset_t gControlSignals;

int SignalOf(int event) {
  switch (event) {
    case CONTROL_TERMINATE: return SIGTERM;
    case CONTROL_HANGUP: return SIGHUP;
    default: return SIGINT;
  }
}

int EventOf(int sig) {
  switch (sig) {
    case SIGTERM: return CONTROL_TERMINATE;
    case SIGHUP: return CONTROL_HANGUP;
    default: return CONTROL_INTERRUPT;
  }
}

// Puts the terminal back as the program found it before the process ends in
// the middle of a key wait.
void RestoreTerminal() {
  std::lock_guard<std::mutex> hold(gInput.mutex);
  if (gInput.rawUsers > 0) {
    tcsetattr(gInput.fd, TCSANOW, &gInput.saved);
    gInput.rawUsers = 0;
  }
}

[[noreturn]] void EndAsSignal(int sig) {
  std::fflush(stdout);
  std::fflush(stderr);
  signal(sig, SIG_DFL);
  sigset_t one;
  sigemptyset(&one);
  sigaddset(&one, sig);
  pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
  raise(sig);
  _exit(128 + sig);  // not reached: the default action of these signals ends the process
}

void* SignalThread(void*) {
  for (;;) {
    int sig = 0;
    if (sigwait(&gControlSignals, &sig) != 0) continue;
    RestoreTerminal();
    if (ControlHandler handler = gHandler.load()) handler(EventOf(sig));
    EndAsSignal(sig);
  }
}

}  // namespace

bool ConsoleSetControlHandler(ControlHandler handler) {
  gHandler.store(handler);
  if (gSignalThreadRunning.load()) return true;
  // A signal the program was started with ignored (nohup) stays ignored.
  sigemptyset(&gControlSignals);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction current;
    if (sigaction(sig, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) continue;
    sigaddset(&gControlSignals, sig);
  }
  sigset_t previous;
  if (pthread_sigmask(SIG_BLOCK, &gControlSignals, &previous) != 0) return false;
  pthread_t thread;
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  int err = pthread_create(&thread, &attr, SignalThread, nullptr);
  pthread_attr_destroy(&attr);
  if (err != 0) {
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return false;
  }
  gSignalThreadRunning.store(true);
  return true;
}

void ConsoleRaiseControlEvent(int event) {
  int sig = SignalOf(event);
  if (gSignalThreadRunning.load() && sigismember(&gControlSignals, sig) == 1) {
    // The signal thread runs the handler and ends the process, exactly as
    // for a signal from outside; this thread waits for that.
    kill(getpid(), sig);
    for (;;) pause();
  }
  RestoreTerminal();
  if (ControlHandler handler = gHandler.load()) handler(event);
  EndAsSignal(sig);
}

}  // namespace platform
