#include "app/console_helpers.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

TEST(UserAddress, Table) {
  const struct {
    int bus, user;
  } cases[] = {{0, 0}, {3, 3}, {4, 1}, {11, 8}, {12, 1}, {15, 4},
               {16, 1}, {31, 16}, {32, 17}, {254, 239}, {255, 240}};
  for (auto c : cases) EXPECT_EQ(UserAddress(static_cast<uint8_t>(c.bus)), c.user) << c.bus;
}

// Menu numbers read from a file standing in for standard input: every answer
// ends its line, whatever else was typed on it.
TEST(ReadMenuNumber, NumbersLinesAndEndOfInput) {
  char path[] = "/tmp/read_menu_number.XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  const std::string input =
      "1\n"
      "0\n"
      "  12 and more words\n"
      "abc 5\n"
      "\n\n  3\n"
      "-3\n"
      "+4\n"
      "99999999999\n"
      "2147483647\n"
      "7";
  ASSERT_EQ(write(fd, input.data(), input.size()), static_cast<ssize_t>(input.size()));
  close(fd);
  ASSERT_NE(std::freopen(path, "r", stdin), nullptr);
  std::setvbuf(stdin, nullptr, _IONBF, 0);

  EXPECT_EQ(ReadMenuNumber(), 0);
  EXPECT_EQ(ReadMenuNumber(), -1);
  EXPECT_EQ(ReadMenuNumber(), 11);
  EXPECT_EQ(ReadMenuNumber(), -1);  // not a number; " 5" goes with its line
  EXPECT_EQ(ReadMenuNumber(), 2);   // empty lines are skipped, as "%d" does
  EXPECT_EQ(ReadMenuNumber(), -4);
  EXPECT_EQ(ReadMenuNumber(), 3);
  EXPECT_EQ(ReadMenuNumber(), -1);  // out of range of int: no menu entry
  EXPECT_EQ(ReadMenuNumber(), 2147483646);
  EXPECT_EQ(ReadMenuNumber(), 6);   // the last answer needs no line end
  EXPECT_EQ(ReadMenuNumber(), -1);  // input has ended: once -1 (the next read ends the program)
  std::remove(path);
}

}  // namespace

#include <csignal>

#include "app/screens.h"

namespace {

// A second read at the end of input ends the program as a control event
// does: the handler runs and the process dies of the hang-up signal.
TEST(ReadMenuNumberDeathTest, SecondReadAtTheEndOfInputEndsTheProgram) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        platform::ConsoleSetControlHandler(OnConsoleControl);
        if (!std::freopen("/dev/null", "r", stdin)) std::abort();
        std::setvbuf(stdin, nullptr, _IONBF, 0);
        if (ReadMenuNumber() != -1) std::exit(3);
        ReadMenuNumber();
        std::exit(4);
      },
      ::testing::KilledBySignal(SIGHUP), "");
}

}  // namespace

#include <fcntl.h>
#include <unistd.h>

#include "backup/backup_worker.h"

namespace {

// Interrupted while a backup file is written: the handler names, closes and
// deletes the file. Run in a child process: the handler keeps the backup
// file lock, as the process is about to end.
TEST(OnConsoleControlDeathTest, DeletesAHalfWrittenBackupFile) {
  // Forked without re-running the test: the child must see this path. No
  // thread runs in this process here.
  GTEST_FLAG_SET(death_test_style, "fast");
  char path[] = "/tmp/Model12-31.tbi.XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  const std::string expected = std::string("\n\n Program terminated during backup file creation.\n Deleting file ") +
                               path + "\n\n Partial backup file successfully deleted.\n\n";
  std::string log = std::string(path) + ".out";
  // Exit codes of the child: 0 right, 1 file still there, 2 wrong messages.
  EXPECT_EXIT(
      {
        if (!std::freopen(log.c_str(), "w", stdout)) std::exit(5);
        LockBackupFile();
        backupFile = std::fopen(path, "a");
        std::snprintf(backupFileName, sizeof backupFileName, "%s", path);
        backupInProgress.store(1);
        UnlockBackupFile();
        OnConsoleControl(platform::CONTROL_INTERRUPT);
        std::fclose(stdout);
        if (access(path, F_OK) == 0) std::exit(1);
        std::FILE* in = std::fopen(log.c_str(), "r");
        char text[512] = {0};
        size_t n = in ? std::fread(text, 1, sizeof text - 1, in) : 0;
        std::exit(std::string(text, n) == expected ? 0 : 2);
      },
      ::testing::ExitedWithCode(0), "");
  std::remove(log.c_str());
  EXPECT_NE(access(path, F_OK), 0);
}

}  // namespace
