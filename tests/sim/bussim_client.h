// A small client of bussim for the tests: starts the simulator on a pty
// link, builds and parses MS/TP frames with its own CRCs (bitwise, not the
// link layer's tables), and reads the JSON state.
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace simtest {

using Bytes = std::vector<uint8_t>;

uint8_t HeaderCrc(const uint8_t* octets, size_t n);  // complemented, as sent
uint16_t DataCrc(const uint8_t* octets, size_t n);   // complemented, as sent
uint16_t ModbusCrc(const uint8_t* octets, size_t n);
Bytes Frame(uint8_t type, uint8_t dst, uint8_t src, const Bytes& data = {});

struct Frame_ {
  uint8_t type = 0, dst = 0, src = 0;
  Bytes data;
  bool dataCrcGood = true;
};
using RxFrame = Frame_;

// Splits a stream of octets into frames with good headers.
std::vector<RxFrame> ParseFrames(const Bytes& stream);

class BusSim {
 public:
  BusSim();  // makes the working folder (dir())
  ~BusSim();
  // Starts bussim with `args` (the link, state and capture paths are added)
  // and opens the link. False if it did not come up.
  bool Start(const std::vector<std::string>& args);
  void Stop();                  // SIGTERM and wait: writes the state file
  int ExitCode() const { return exitCode_; }
  bool Running();
  void Signal(int sig);

  void Write(const Bytes& octets);
  Bytes Read(int quietMs, int totalMs);  // until quiet or the total time
  // Sends a data frame from `src` to `dst` and returns the first data frame
  // that comes back to `src` within timeoutMs.
  std::optional<RxFrame> Request(uint8_t dst, const Bytes& data, int timeoutMs = 300,
                                 uint8_t type = 5, uint8_t src = 3);
  // The frames heard during `ms`.
  std::vector<RxFrame> Listen(int ms);

  const std::string& dir() const { return dir_; }
  std::string statePath() const { return dir_ + "/state.json"; }
  std::string pcapPath() const { return dir_ + "/bus.pcap"; }
  std::string linkPath() const { return dir_ + "/link"; }
  int fd() const { return fd_; }
  std::string State();  // SIGUSR1, then the state file

 private:
  std::string dir_;
  pid_t pid_ = -1;
  int fd_ = -1;
  int exitCode_ = -1;
  Bytes pending_;
};

std::string BussimPath();
std::string SourceDir();
// The JSON object of the i-th device in a state text, and a field of it as
// raw text ("17", "\"loader\"", "true").
std::string DeviceObject(const std::string& state, size_t index);
std::string Field(const std::string& object, const std::string& name);
std::string WriteFile(const std::string& dir, const std::string& name, const std::string& text);
std::string WriteFile(const std::string& dir, const std::string& name, const Bytes& bytes);

// Device service requests.
inline Bytes Ping() { return {0x01, 0x01}; }
inline Bytes ReadMember(uint8_t c, uint8_t m, uint8_t i) { return {0x01, 0x03, 0x01, c, m, i}; }
inline Bytes ReadAll(uint8_t c, uint8_t i) { return {0x01, 0x05, c, i}; }

}  // namespace simtest
