#include "sim/bussim_client.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace simtest {

namespace {
long NowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}
}  // namespace

uint8_t HeaderCrc(const uint8_t* p, size_t n) {
  uint8_t crc = 0xFF;  // x^8 + x^7 + 1, reflected: 0x81 shifted right
  for (size_t i = 0; i < n; ++i) {
    crc ^= p[i];
    for (int b = 0; b < 8; ++b) crc = (crc & 1) ? uint8_t((crc >> 1) ^ 0x81) : uint8_t(crc >> 1);
  }
  return uint8_t(~crc);
}

uint16_t DataCrc(const uint8_t* p, size_t n) {
  uint16_t crc = 0xFFFF;
  for (size_t i = 0; i < n; ++i) {
    crc ^= p[i];
    for (int b = 0; b < 8; ++b) crc = (crc & 1) ? uint16_t((crc >> 1) ^ 0x8408) : uint16_t(crc >> 1);
  }
  return uint16_t(~crc);
}

uint16_t ModbusCrc(const uint8_t* p, size_t n) {
  uint16_t crc = 0xFFFF;
  for (size_t i = 0; i < n; ++i) {
    crc ^= p[i];
    for (int b = 0; b < 8; ++b) crc = (crc & 1) ? uint16_t((crc >> 1) ^ 0xA001) : uint16_t(crc >> 1);
  }
  return crc;
}

Bytes Frame(uint8_t type, uint8_t dst, uint8_t src, const Bytes& data) {
  Bytes f = {0x55, 0xFF, type, dst, src, uint8_t(data.size() >> 8), uint8_t(data.size())};
  f.push_back(HeaderCrc(f.data() + 2, 5));
  if (!data.empty()) {
    f.insert(f.end(), data.begin(), data.end());
    uint16_t crc = DataCrc(data.data(), data.size());
    f.push_back(uint8_t(crc));
    f.push_back(uint8_t(crc >> 8));
  }
  return f;
}

std::vector<RxFrame> ParseFrames(const Bytes& s) {
  std::vector<RxFrame> frames;
  size_t i = 0;
  while (i + 8 <= s.size()) {
    if (s[i] != 0x55 || s[i + 1] != 0xFF) { ++i; continue; }
    const uint8_t* h = s.data() + i + 2;
    if (HeaderCrc(h, 5) != h[5]) { ++i; continue; }
    size_t n = size_t(h[3]) << 8 | h[4];
    if (n > 501) { ++i; continue; }
    RxFrame f;
    f.type = h[0]; f.dst = h[1]; f.src = h[2];
    if (n > 0) {
      if (i + 8 + n + 2 > s.size()) break;
      f.data.assign(s.begin() + long(i) + 8, s.begin() + long(i + 8 + n));
      uint16_t crc = DataCrc(f.data.data(), n);
      f.dataCrcGood = s[i + 8 + n] == uint8_t(crc) && s[i + 9 + n] == uint8_t(crc >> 8);
      i += 10 + n;
    } else {
      i += 8;
    }
    frames.push_back(f);
  }
  return frames;
}

// The environment names the folders when the test runner passes it on; the
// build records them as well.
std::string BussimPath() {
  const char* b = getenv("FLASHLOADER_BUILD_DIR");
  return std::string(b ? b : BUSSIM_TEST_BUILD_DIR) + "/sim/bussim";
}

std::string SourceDir() {
  const char* s = getenv("FLASHLOADER_SOURCE_DIR");
  return s ? s : BUSSIM_TEST_SOURCE_DIR;
}

BusSim::~BusSim() {
  if (pid_ > 0) Stop();
  if (fd_ >= 0) close(fd_);
  if (!dir_.empty()) {
    std::string cmd = "rm -rf '" + dir_ + "'";
    if (system(cmd.c_str()) != 0) {}
  }
}

BusSim::BusSim() {
  char tmpl[] = "/tmp/bussim-test-XXXXXX";
  if (mkdtemp(tmpl)) dir_ = tmpl;
}

bool BusSim::Start(const std::vector<std::string>& args) {
  if (dir_.empty()) return false;
  std::vector<std::string> all = {BussimPath(), "--link", linkPath(), "--state", statePath(),
                                  "--pcap", pcapPath()};
  all.insert(all.end(), args.begin(), args.end());
  pid_ = fork();
  if (pid_ == 0) {
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  for (int i = 0; i < 200; ++i) {
    struct stat st;
    if (lstat(linkPath().c_str(), &st) == 0) break;
    if (!Running()) return false;
    usleep(10000);
  }
  fd_ = open(linkPath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd_ < 0) return false;
  termios t;
  tcgetattr(fd_, &t);
  cfmakeraw(&t);
  cfsetispeed(&t, B38400);
  cfsetospeed(&t, B38400);
  tcsetattr(fd_, TCSANOW, &t);
  return true;
}

bool BusSim::Running() {
  if (pid_ <= 0) return false;
  int status = 0;
  pid_t r = waitpid(pid_, &status, WNOHANG);
  if (r == pid_) {
    exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    pid_ = -1;
    return false;
  }
  return true;
}

void BusSim::Signal(int sig) {
  if (pid_ > 0) kill(pid_, sig);
}

void BusSim::Stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  int status = 0;
  waitpid(pid_, &status, 0);
  exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  pid_ = -1;
}

void BusSim::Write(const Bytes& o) {
  size_t done = 0;
  while (done < o.size()) {
    ssize_t n = write(fd_, o.data() + done, o.size() - done);
    if (n > 0) done += size_t(n);
    else usleep(1000);
  }
}

Bytes BusSim::Read(int quietMs, int totalMs) {
  Bytes got;
  long end = NowMs() + totalMs;
  long lastOctet = NowMs();
  while (NowMs() < end && NowMs() - lastOctet < quietMs) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, 2) > 0) {
      uint8_t buf[1024];
      ssize_t n = read(fd_, buf, sizeof buf);
      if (n > 0) {
        got.insert(got.end(), buf, buf + n);
        lastOctet = NowMs();
      }
    }
  }
  return got;
}

std::optional<RxFrame> BusSim::Request(uint8_t dst, const Bytes& data, int timeoutMs, uint8_t type,
                                       uint8_t src) {
  Bytes stale = Read(0, 0);
  (void)stale;
  Write(Frame(type, dst, src, data));
  Bytes got;
  long end = NowMs() + timeoutMs;
  while (NowMs() < end) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, 2) > 0) {
      uint8_t buf[1024];
      ssize_t n = read(fd_, buf, sizeof buf);
      if (n > 0) got.insert(got.end(), buf, buf + n);
      for (const RxFrame& f : ParseFrames(got))
        if ((f.type == 6 || f.type == 5) && f.dst == src) return f;
    }
  }
  return std::nullopt;
}

std::vector<RxFrame> BusSim::Listen(int ms) { return ParseFrames(Read(ms + 1, ms)); }

std::string BusSim::State() {
  unlink(statePath().c_str());
  Signal(SIGUSR1);
  for (int i = 0; i < 200; ++i) {
    std::ifstream in(statePath());
    if (in) {
      std::stringstream ss;
      ss << in.rdbuf();
      if (!ss.str().empty()) return ss.str();
    }
    usleep(5000);
  }
  return std::string();
}

std::string DeviceObject(const std::string& state, size_t index) {
  size_t at = 0;
  for (size_t i = 0; i <= index; ++i) {
    at = state.find("{\"address\"", at + (i ? 1 : 0));
    if (at == std::string::npos) return std::string();
  }
  size_t end = state.find("}}", at);
  return state.substr(at, end == std::string::npos ? std::string::npos : end + 2 - at);
}

std::string Field(const std::string& o, const std::string& name) {
  std::string key = "\"" + name + "\": ";
  size_t at = o.find(key);
  if (at == std::string::npos) return "<missing>";
  at += key.size();
  size_t end = at;
  if (o[at] == '"') {
    end = o.find('"', at + 1) + 1;
  } else {
    while (end < o.size() && o[end] != ',' && o[end] != '}' && o[end] != '\n') ++end;
  }
  return o.substr(at, end - at);
}

std::string WriteFile(const std::string& dir, const std::string& name, const std::string& text) {
  std::string path = dir + "/" + name;
  std::ofstream(path) << text;
  return path;
}

std::string WriteFile(const std::string& dir, const std::string& name, const Bytes& bytes) {
  std::string path = dir + "/" + name;
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  return path;
}

}  // namespace simtest
