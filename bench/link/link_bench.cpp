// Link figures on ptys: CPU share of idle and busy links, octets per second
// through the reader/link hand-off, and the 2 ms tick as the link sees it.
// Reports figures only.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "link/link_internal.h"
#include "link/tarbus_link.h"
#include "platform/clock.h"

namespace {

struct Pty {
  int master = -1;
  int slave = -1;
  std::string path;
  Pty() {
    char name[128];
    termios raw{};
    cfmakeraw(&raw);
    if (openpty(&master, &slave, name, &raw, nullptr) != 0) {
      std::perror("openpty");
      std::exit(2);
    }
    path = name;
  }
  ~Pty() {
    close(master);
    close(slave);
  }
};

double CpuSeconds(int who) {
  rusage u{};
  getrusage(who, &u);
  return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double WallSeconds() { return platform::MonotonicUs() / 1e6; }

// Reads and drops what the links send, rarely, so it costs next to nothing.
std::atomic<bool> g_drain{false};
void Drain(std::vector<int> fds) {
  uint8_t buffer[4096];
  while (g_drain.load()) {
    for (int fd : fds)
      while (read(fd, buffer, sizeof buffer) > 0) {
      }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

uint8_t IdleToken(const char*) { return 0; }
unsigned char IgnoreUpcall(const char*, const unsigned char*, unsigned char, unsigned short,
                           unsigned char) {
  return 0;
}

LinkConfig Config(const char* port, int station, TokenObtainedDelegate token, UpcallDelegate up) {
  LinkConfig c{};
  c.portName = port;
  c.baudRate = 38400;
  c.maxMaster = 15;
  c.maxInfoFrames = 3;
  c.stationAddress = station;
  c.tokenObtained = token;
  c.upcall = up;
  return c;
}

double IdleShare(int links, double seconds) {
  std::vector<Pty*> ptys;
  std::vector<int> fds;
  for (int i = 0; i < links; ++i) {
    ptys.push_back(new Pty);
    fcntl(ptys.back()->master, F_SETFL, O_NONBLOCK);
    fds.push_back(ptys.back()->master);
    LinkConfig c = Config(ptys.back()->path.c_str(), i, IdleToken, IgnoreUpcall);
    if (TarbusLink_Init(&c) != 0) std::fprintf(stderr, "Init failed\n");
  }
  g_drain.store(true);
  std::thread drain(Drain, fds);
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // past the first polls
  double c0 = CpuSeconds(RUSAGE_SELF), w0 = WallSeconds();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  double share = (CpuSeconds(RUSAGE_SELF) - c0) / (WallSeconds() - w0);
  g_drain.store(false);
  drain.join();
  for (Pty* p : ptys) {
    TarbusLink_UnInit(p->path.c_str());
    delete p;
  }
  return share;
}

// The busy case: a device on the other side answers every request at once.
std::string g_busyPort;
std::atomic<long> g_replies{0};
uint8_t BusyToken(const char* port) {
  static const uint8_t request[] = {0x01, 0x03, 0x01, 0x05, 0x02, 0x00};
  TarbusLink_SendFrame(port, 9, request, sizeof request, 1);
  return 1;
}
unsigned char CountReply(const char*, const unsigned char*, unsigned char, unsigned short,
                         unsigned char code) {
  if (code == UPCALL_DATA) g_replies.fetch_add(1);
  return 0;
}

uint8_t Crc8(uint8_t crc, uint8_t o) {
  crc ^= o;
  for (int b = 0; b < 8; ++b) crc = (crc & 1) ? static_cast<uint8_t>((crc >> 1) ^ 0x81) : crc >> 1;
  return crc;
}
uint16_t Crc16(uint16_t crc, uint8_t o) {
  crc ^= o;
  for (int b = 0; b < 8; ++b) crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0x8408) : crc >> 1;
  return crc;
}
std::vector<uint8_t> Reply() {
  std::vector<uint8_t> data = {0x01, 0x03, 0x04, 0x00, 0x00, 0x00, 0x2A};
  std::vector<uint8_t> f = {0x55, 0xFF, 6, 0, 9, 0, static_cast<uint8_t>(data.size())};
  uint8_t h = 0xFF;
  for (int i = 2; i < 7; ++i) h = Crc8(h, f[i]);
  f.push_back(static_cast<uint8_t>(~h));
  uint16_t d = 0xFFFF;
  for (uint8_t o : data) {
    f.push_back(o);
    d = Crc16(d, o);
  }
  d = static_cast<uint16_t>(~d);
  f.push_back(d & 0xFF);
  f.push_back(d >> 8);
  return f;
}

std::atomic<bool> g_device{false};
std::atomic<double> g_deviceCpu{0};
void Device(int fd) {
  const std::vector<uint8_t> reply = Reply();
  std::vector<uint8_t> rx;
  double c0 = CpuSeconds(RUSAGE_THREAD);
  while (g_device.load()) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 20) <= 0) continue;
    uint8_t buffer[512];
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) continue;
    rx.insert(rx.end(), buffer, buffer + n);
    // Answer each complete request to station 9 (type 5, 6 data octets).
    for (;;) {
      auto it = std::search(rx.begin(), rx.end(), reply.begin(), reply.begin() + 2);
      if (it == rx.end() || rx.end() - it < 8) break;
      size_t length = static_cast<size_t>(it[5]) * 256 + it[6];
      size_t total = length == 0 ? 8 : length + 10;
      if (static_cast<size_t>(rx.end() - it) < total) break;
      if (it[2] == 5 && it[3] == 9) {
        std::vector<uint8_t> r = reply;
        r[3] = it[4];
        uint8_t h = 0xFF;
        for (int i = 2; i < 7; ++i) h = Crc8(h, r[i]);
        r[7] = static_cast<uint8_t>(~h);
        if (write(fd, r.data(), r.size()) < 0) break;
      }
      rx.erase(rx.begin(), it + static_cast<long>(total));
    }
  }
  g_deviceCpu.store(CpuSeconds(RUSAGE_THREAD) - c0);
}

void BusyShare(double seconds, double* share, double* rate) {
  Pty pty;
  g_busyPort = pty.path;
  g_device.store(true);
  std::thread device(Device, pty.master);
  LinkConfig c = Config(pty.path.c_str(), 1, BusyToken, CountReply);
  TarbusLink_Init(&c);
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // sole master by then
  long r0 = g_replies.load();
  double c0 = CpuSeconds(RUSAGE_SELF), w0 = WallSeconds();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  double c1 = CpuSeconds(RUSAGE_SELF), w1 = WallSeconds();
  long r1 = g_replies.load();
  TarbusLink_UnInit(pty.path.c_str());
  g_device.store(false);
  device.join();
  // The device thread's own work is not the link's: take it out, pro rata.
  double deviceCpu = g_deviceCpu.load() * (w1 - w0) / (w1 - w0 + 1.5);
  *share = (c1 - c0 - deviceCpu) / (w1 - w0);
  *rate = (r1 - r0) / (w1 - w0);
}

std::atomic<long> g_octets{0};
unsigned char CountOctet(const char*, const unsigned char*, unsigned char, unsigned short length,
                         unsigned char) {
  if (length == 1) g_octets.fetch_add(1);
  return 0;
}

double HandOffRate(long total) {
  Pty pty;
  LinkConfig c = Config(pty.path.c_str(), 1, IdleToken, CountOctet);
  TarbusLink_Init(&c);
  TarbusLink_DisableMasterServices(pty.path.c_str(), 1);
  TarbusLink_EnableImmediateUpcall(pty.path.c_str(), 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  g_octets.store(0);
  std::vector<uint8_t> chunk(1024);
  // No 0x55 in it, so no frame can form and every octet is one up-call.
  for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<uint8_t>(i * 31) == 0x55 ? 0x54 : static_cast<uint8_t>(i * 31);
  double w0 = WallSeconds();
  std::thread writer([&] {
    long sent = 0;
    while (sent < total) {
      ssize_t n = write(pty.master, chunk.data(), chunk.size());
      if (n > 0) sent += n;
      else std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });
  while (g_octets.load() < total && WallSeconds() - w0 < 30)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  double elapsed = WallSeconds() - w0;
  writer.join();
  long got = g_octets.load();
  TarbusLink_UnInit(pty.path.c_str());
  if (got != total) std::printf("  (hand-off delivered %ld of %ld octets)\n", got, total);
  return got / elapsed;
}

std::vector<uint64_t> g_ticks;
std::atomic<bool> g_recordTicks{false};
void RecordTick() {
  if (g_recordTicks.load(std::memory_order_relaxed) && g_ticks.size() < g_ticks.capacity())
    g_ticks.push_back(platform::MonotonicUs());
}

void TickErrors(double seconds) {
  Pty pty;
  g_ticks.reserve(static_cast<size_t>(seconds * 600));
  tarbus::g_linkTickHook.store(RecordTick);
  LinkConfig c = Config(pty.path.c_str(), 1, IdleToken, IgnoreUpcall);
  TarbusLink_Init(&c);
  TarbusLink_DisableMasterServices(pty.path.c_str(), 1);
  g_recordTicks.store(true);
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  g_recordTicks.store(false);
  TarbusLink_UnInit(pty.path.c_str());  // joins the timer thread
  tarbus::g_linkTickHook.store(nullptr);
  std::vector<double> errors;
  for (size_t i = 1; i < g_ticks.size(); ++i)
    errors.push_back(std::abs(static_cast<double>(g_ticks[i] - g_ticks[i - 1]) - 2000.0));
  std::sort(errors.begin(), errors.end());
  auto at = [&](double q) { return errors.empty() ? 0 : errors[static_cast<size_t>(q * (errors.size() - 1))]; };
  double meanPeriod = g_ticks.size() > 1
                          ? (g_ticks.back() - g_ticks.front()) / double(g_ticks.size() - 1)
                          : 0;
  std::printf("2 ms tick, |interval - 2000 us| over %zu ticks: median %.0f us, p90 %.0f us, "
              "p99 %.0f us, max %.0f us; mean period %.1f us\n",
              errors.size(), at(0.5), at(0.9), at(0.99), at(1.0), meanPeriod);
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
  const char* only = argc > 2 ? argv[2] : "";
  if (std::strcmp(only, "idle") == 0) {
    std::printf("one idle link: %.2f %% of a core\n", 100 * IdleShare(1, seconds));
    return 0;
  }
  if (std::strcmp(only, "timer") == 0) {
    tarbus::StartLinkTimer();
    double c0 = CpuSeconds(RUSAGE_SELF), w0 = WallSeconds();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    std::printf("timer alone: %.2f %% of a core\n",
                100 * (CpuSeconds(RUSAGE_SELF) - c0) / (WallSeconds() - w0));
    tarbus::StopLinkTimer();
    return 0;
  }
  std::printf("link benchmark, %.1f s per figure\n", seconds);
  std::printf("one idle link (sole master, polling): %.2f %% of a core (bar < 1 %%)\n",
              100 * IdleShare(1, seconds));
  std::printf("eight idle links: %.2f %% of a core\n", 100 * IdleShare(8, seconds));
  double share = 0, rate = 0;
  BusyShare(seconds, &share, &rate);
  std::printf("one link, requests and replies back to back: %.2f %% of a core (bar < 5 %%), "
              "%.0f exchanges/s\n",
              100 * share, rate);
  std::printf("hand-off on a pty: %.0f octets/s\n", HandOffRate(1024 * 196));
  TickErrors(seconds);
  return 0;
}
