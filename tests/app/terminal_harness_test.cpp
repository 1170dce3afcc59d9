// The terminal the end-to-end tests run the program in: its cursor answers
// and its exit statuses, checked with a shell as the program.
#include <gtest/gtest.h>
#include <signal.h>

#include "support/terminal.h"

using testsupport::ExitCode;
using testsupport::TermSignal;
using testsupport::Terminal;

namespace {

TEST(TerminalHarness, AnswersCursorQueriesFromItsModel) {
  Terminal term;
  // Moves to row 3, column 5 (1-based), writes "ab" and a line end, then
  // asks twice where the cursor is.
  ASSERT_TRUE(term.Start({"bash", "-c",
                          "stty -icanon -echo; printf '\\033[3;5Hab'; printf '\\033[6n';"
                          "IFS= read -r -s -d R one; printf 'x\\r\\n\\033[6n';"
                          "IFS= read -r -s -d R two; printf '<%s><%s>' \"${one#?}\" \"${two#?}\""}));
  ASSERT_TRUE(term.WaitFor("<[3;7><[4;1>")) << term.Output();
  EXPECT_EQ(ExitCode(term.WaitExit()), 0);
}

TEST(TerminalHarness, ExitCodesAndSignals) {
  Terminal term;
  ASSERT_TRUE(term.Start({"sh", "-c", "exit 7"}));
  EXPECT_EQ(ExitCode(term.WaitExit()), 7);

  Terminal typed;
  ASSERT_TRUE(typed.Start({"sh", "-c", "echo ready; read x; echo got $x"}));
  ASSERT_TRUE(typed.WaitFor("ready\n"));
  typed.Type("\x03");  // the terminal turns it into SIGINT for the program
  int status = typed.WaitExit();
  EXPECT_EQ(TermSignal(status), SIGINT) << typed.Output();
}

}  // namespace
