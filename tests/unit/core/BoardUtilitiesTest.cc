#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Fakes.h"
#include "core/BoardUtilities.h"

namespace vantorellabs {
namespace {

using ::testing::ElementsAre;
using testing::FakeShell;

TEST(BoardUtilitiesTest, FactoryResetRunsItsCommandsInOrderEvenWhenTheyFail) {
  FakeShell shell;
  shell.statuses["rm -r /config/*"] = 1;
  factoryResetModule(shell, [&] { shell.commands.emplace_back("<slow advertising>"); });
  EXPECT_THAT(shell.commands,
              ElementsAre("<slow advertising>", "rm -r /config/*", "rm -r /data/*", "reboot"));
}

TEST(BoardUtilitiesTest, BootParamCIsSetBeforeTheReboot) {
  FakeShell shell;
  shell.statuses["fw_setenv bootparam C"] = 127;
  rebootToBootParamC(shell);
  EXPECT_THAT(shell.commands, ElementsAre("fw_setenv bootparam C", "reboot"));
}

TEST(BoardUtilitiesTest, WifiRestartTakesTheInterfaceDownThenUp) {
  FakeShell shell;
  restartWifi(shell);
  EXPECT_THAT(shell.commands, ElementsAre("ifconfig wlan0 down", "ifconfig wlan0 up"));
}

TEST(ShellTextTest, QuotingAndFirstLine) {
  EXPECT_EQ(shellQuote("a'b; reboot"), "'a'\\''b; reboot'");
  // Inside single quotes only the quote itself is special: everything else stays as it is.
  const std::string special = "$`\\\"!*?[]{}()<>|&;#~=% \t\n\x01\xFF";
  EXPECT_EQ(shellQuote(special), "'" + special + "'");
  EXPECT_EQ(shellQuote(""), "''");
  EXPECT_EQ(shellQuote("''"), "''\\'''\\'''");
  EXPECT_EQ(firstLine("abc\ndef\n", 127), "abc\n");
  EXPECT_EQ(firstLine("abcdef", 3), "abc");
  // The line end counts: a line that fills the limit exactly keeps it.
  EXPECT_EQ(firstLine("abc\ndef", 3), "abc");
  EXPECT_EQ(firstLine("abc\ndef", 4), "abc\n");
  EXPECT_EQ(firstLine("abc\ndef", 5), "abc\n");
  EXPECT_EQ(firstLine("", 127), "");
}

}  // namespace
}  // namespace vantorellabs
