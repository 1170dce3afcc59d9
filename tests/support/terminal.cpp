#include "support/terminal.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace testsupport {
namespace {

long NowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

}  // namespace

std::string FlashloaderPath() {
  const char* dir = std::getenv("FLASHLOADER_BUILD_DIR");
  return std::string(dir ? dir : ".") + "/app/flashloader";
}

int ExitCode(int status) { return status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1; }
int TermSignal(int status) { return status >= 0 && WIFSIGNALED(status) ? WTERMSIG(status) : 0; }

Terminal::~Terminal() {
  if (pid_ > 0 && !exited_) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (master_ >= 0) close(master_);
}

bool Terminal::Start(const std::vector<std::string>& argv, const TerminalOptions& options) {
  rows_ = options.rows;
  columns_ = options.columns;
  winsize size{};
  size.ws_row = static_cast<unsigned short>(options.rows);
  size.ws_col = static_cast<unsigned short>(options.columns);
  // Build everything the child needs before forking: after fork it only
  // calls async-signal-safe functions and exec.
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<std::string> envText;
  for (char** e = environ; *e; ++e) {
    std::string entry = *e;
    std::string key = entry.substr(0, entry.find('='));
    bool drop = false;
    for (const std::string& u : options.unsetEnv) drop = drop || u == key;
    for (const auto& s : options.setEnv) drop = drop || s.first == key;
    if (!drop) envText.push_back(entry);
  }
  for (const auto& s : options.setEnv) envText.push_back(s.first + "=" + s.second);
  envText.push_back("TERM=vt100");
  std::vector<char*> env;
  for (std::string& e : envText) env.push_back(e.data());
  env.push_back(nullptr);
  std::string path = argv.empty() ? std::string() : argv[0];
  if (path.find('/') == std::string::npos) {
    // execvpe would do the search, but environ of the child is our list.
    const char* pathVar = std::getenv("PATH");
    std::string dirs = pathVar ? pathVar : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
      size_t end = dirs.find(':', start);
      if (end == std::string::npos) end = dirs.size();
      std::string candidate = dirs.substr(start, end - start) + "/" + path;
      if (access(candidate.c_str(), X_OK) == 0) {
        path = candidate;
        break;
      }
      start = end + 1;
    }
  }

  int devNull = options.stdinFromDevNull ? open("/dev/null", O_RDONLY) : -1;
  pid_t pid = forkpty(&master_, nullptr, nullptr, &size);
  if (pid < 0) {
    if (devNull >= 0) close(devNull);
    return false;
  }
  if (pid == 0) {
    // Output exactly as the program writes it: no LF to CR LF translation.
    termios mode;
    if (tcgetattr(1, &mode) == 0) {
      mode.c_oflag &= ~static_cast<tcflag_t>(ONLCR);
      tcsetattr(1, TCSANOW, &mode);
    }
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
    if (devNull >= 0) {
      dup2(devNull, 0);
      close(devNull);
    }
    execve(path.c_str(), args.data(), env.data());
    _exit(127);
  }
  if (devNull >= 0) close(devNull);
  pid_ = pid;
  fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
  return true;
}

void Terminal::Type(const std::string& keys) {
  size_t done = 0;
  long end = NowMs() + 2000;
  while (done < keys.size() && NowMs() < end) {
    ssize_t n = write(master_, keys.data() + done, keys.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else {
      Pump(5);
    }
  }
}

void Terminal::Track(char c) {
  if (!escape_.empty()) {
    escape_ += c;
    if (escape_.size() == 2) {
      if (c != '[') escape_.clear();  // not a CSI sequence: ignore it
      return;
    }
    if (c >= 0x40 && c <= 0x7E) {  // final byte
      std::string params = escape_.substr(2, escape_.size() - 3);
      escape_.clear();
      int a = 0, b = 0;
      bool second = false;
      for (char p : params) {
        if (p == ';') second = true;
        else if (p >= '0' && p <= '9') (second ? b : a) = (second ? b : a) * 10 + (p - '0');
      }
      int n = a > 0 ? a : 1;
      switch (c) {
        case 'n':
          if (a == 6) {
            char report[32];
            int len = std::snprintf(report, sizeof report, "\033[%d;%dR", row_ + 1, column_ + 1);
            ssize_t ignored = write(master_, report, static_cast<size_t>(len));
            (void)ignored;
          }
          break;
        case 'H':
        case 'f':
          row_ = (a > 0 ? a : 1) - 1;
          column_ = (b > 0 ? b : 1) - 1;
          break;
        case 'A': row_ -= n; break;
        case 'B': row_ += n; break;
        case 'C': column_ += n; break;
        case 'D': column_ -= n; break;
        case 'G': column_ = n - 1; break;
        default: break;
      }
      if (row_ < 0) row_ = 0;
      if (row_ >= rows_) row_ = rows_ - 1;
      if (column_ < 0) column_ = 0;
      if (column_ >= columns_) column_ = columns_ - 1;
    }
    return;
  }
  switch (c) {
    case '\033': escape_.clear(); escape_.push_back('\033'); break;
    case '\r': column_ = 0; break;
    case '\n':
      if (row_ < rows_ - 1) ++row_;  // at the bottom the screen scrolls
      break;
    case '\b':
      if (column_ > 0) --column_;
      break;
    default:
      if (static_cast<unsigned char>(c) >= 0x20) {
        if (++column_ >= columns_) {
          column_ = 0;
          if (row_ < rows_ - 1) ++row_;
        }
      }
  }
}

void Terminal::Pump(int waitMs) {
  pollfd p{master_, POLLIN, 0};
  if (poll(&p, 1, waitMs) <= 0) return;
  for (;;) {
    char buffer[4096];
    ssize_t n = read(master_, buffer, sizeof buffer);
    if (n <= 0) return;  // EAGAIN, or EIO once the program and its terminal are gone
    for (ssize_t i = 0; i < n; ++i) Track(buffer[i]);
    output_.append(buffer, static_cast<size_t>(n));
  }
}

bool Terminal::WaitFor(const std::string& text, int timeoutMs) {
  long end = NowMs() + timeoutMs;
  for (;;) {
    if (output_.find(text) != std::string::npos) return true;
    long left = end - NowMs();
    if (left <= 0) return false;
    Pump(static_cast<int>(left < 20 ? left : 20));
    if (exited_ || (pid_ > 0 && waitpid(pid_, &status_, WNOHANG) == pid_)) {
      exited_ = true;
      Pump(0);
      return output_.find(text) != std::string::npos;
    }
  }
}

void Terminal::WaitQuiet(int quietMs, int timeoutMs) {
  long end = NowMs() + timeoutMs;
  while (NowMs() < end) {
    size_t before = output_.size();
    Pump(quietMs);
    if (output_.size() == before) return;
  }
}

int Terminal::WaitExit(int timeoutMs) {
  long end = NowMs() + timeoutMs;
  while (!exited_) {
    Pump(10);
    if (waitpid(pid_, &status_, WNOHANG) == pid_) {
      exited_ = true;
      break;
    }
    if (NowMs() >= end) return -1;
  }
  Pump(0);
  return status_;
}

}  // namespace testsupport
