// bussim as a child process on a pty link in a temporary directory, for tests
// and benchmarks of the service layer against simulated devices.
#pragma once
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace servicetest {

inline std::string BuildDir() {
  const char* dir = std::getenv("FLASHLOADER_BUILD_DIR");
  return dir != nullptr ? dir : ".";
}

inline std::string SourceDir() {
  const char* dir = std::getenv("FLASHLOADER_SOURCE_DIR");
  return dir != nullptr ? dir : ".";
}

class BusSim {
 public:
  // Starts bussim with the given options plus --link; false when it did not
  // publish its link within 5 s.
  bool Start(const std::vector<std::string>& options) {
    char dir[] = "/tmp/fbXXXXXX";  // short: a port name has at most 20 characters
    if (mkdtemp(dir) == nullptr) return false;
    dir_ = dir;
    link_ = dir_ + "/bus0";
    // The program only ever sees this line among its candidate ports.
    setenv("FLASHLOADER_PORTS", link_.c_str(), 1);
    const std::string program = BuildDir() + "/sim/bussim";
    std::vector<std::string> args = {program, "--link", link_};
    args.insert(args.end(), options.begin(), options.end());
    pid_ = fork();
    if (pid_ == 0) {
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(program.c_str(), argv.data());
      _exit(127);
    }
    if (pid_ < 0) return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    struct stat st;
    while (lstat(link_.c_str(), &st) != 0) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return false;
      }
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
  }

  void Stop() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      int status = 0;
      waitpid(pid_, &status, 0);
      pid_ = -1;
    }
    if (!dir_.empty()) {
      unlink(link_.c_str());
      rmdir(dir_.c_str());
      dir_.clear();
    }
  }

  ~BusSim() { Stop(); }

  const std::string& link() const { return link_; }
  const char* port() const { return link_.c_str(); }

 private:
  pid_t pid_ = -1;
  std::string dir_;
  std::string link_;
};

}  // namespace servicetest
