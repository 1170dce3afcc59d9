// The real flashloader (or any program) under a pseudo-terminal: type keys,
// wait for text, collect the exit status. The terminal answers cursor
// position requests (ESC[6n) from a small model of the screen's cursor, so
// that programs that ask where the cursor is work under test.
#pragma once
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

struct TerminalOptions {
  std::string cwd;                                          // empty: the test's own
  std::vector<std::pair<std::string, std::string>> setEnv;  // added or replaced
  std::vector<std::string> unsetEnv;
  bool stdinFromDevNull = false;  // standard input at its end, output still on the terminal
  int rows = 25;
  int columns = 80;
};

// $FLASHLOADER_BUILD_DIR/app/flashloader.
std::string FlashloaderPath();

class Terminal {
 public:
  Terminal() = default;
  ~Terminal();  // kills the program if it still runs
  Terminal(const Terminal&) = delete;
  Terminal& operator=(const Terminal&) = delete;

  // Starts argv[0] (searched in PATH) with the rest as its arguments.
  bool Start(const std::vector<std::string>& argv, const TerminalOptions& options = {});

  // Types text as keys ("1\r" is the digit and Enter).
  void Type(const std::string& keys);
  // Waits until `text` has appeared in the output since the start; true if so.
  bool WaitFor(const std::string& text, int timeoutMs = 5000);
  // Waits for the output to be quiet for quietMs (at most timeoutMs).
  void WaitQuiet(int quietMs = 200, int timeoutMs = 3000);
  // Waits for the program to end. The raw wait status, or -1 on time-out.
  int WaitExit(int timeoutMs = 5000);

  // Everything the program wrote, byte for byte (the terminal does not turn
  // "\n" into "\r\n"), escape sequences and echoed keys included.
  const std::string& Output() const { return output_; }
  int pid() const { return pid_; }

 private:
  void Pump(int waitMs);  // reads what is there, answers cursor requests
  void Track(char c);

  int master_ = -1;
  int pid_ = -1;
  int status_ = -1;
  bool exited_ = false;
  std::string output_;
  // The cursor model: enough for CR, LF, BS, printable text and the CSI
  // cursor moves; 0-based.
  int row_ = 0, column_ = 0, rows_ = 25, columns_ = 80;
  std::string escape_;  // a CSI sequence being collected
};

// Exit code when the status is a normal exit, else -1.
int ExitCode(int status);
// Signal number when the status is a death by signal, else 0.
int TermSignal(int status);

}  // namespace testsupport
