// A pseudo-terminal pair for tests: the program under test opens the slave
// side by its path, the test plays the peer on the master side.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

class PtyPair {
 public:
  PtyPair();   // raw mode on both sides; aborts the test on failure
  ~PtyPair();
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  const std::string& slavePath() const { return slavePath_; }
  int masterFd() const { return master_; }

  void write(const std::vector<uint8_t>& octets);
  // Reads what arrives until `count` octets are in or `timeoutMs` has passed.
  std::vector<uint8_t> read(size_t count, int timeoutMs);
  // Reads until the line has been quiet for `quietMs` (or `timeoutMs` total).
  std::vector<uint8_t> readUntilQuiet(int quietMs, int timeoutMs);
  // Closes the master: the slave side sees a hang-up.
  void closeMaster();

 private:
  int master_ = -1;
  int slaveKeep_ = -1;  // keeps the slave side alive between opens
  std::string slavePath_;
};

}  // namespace testsupport
