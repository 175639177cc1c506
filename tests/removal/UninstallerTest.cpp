#include "removal/Uninstaller.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <regex>
#include <sstream>

#include "Removal.h"
#include "platform/files.h"

using removal_testing::Removal;
using testing_support::read;
using testing_support::write;
using Uninstaller::Outcome;
namespace fs = std::filesystem;

namespace {

using UninstallerTest = Removal;

std::optional<Outcome> runScript(const std::string& script,
                                 const std::optional<fs::path>& app = std::nullopt) {
  return Uninstaller::run(script, app);
}

}  // namespace

TEST_F(UninstallerTest, SuccessShowsOnlyTheCheckedLines) {
  EXPECT_EQ(runScript("echo Stopping\necho '✓ Stopped the console'\necho 'warning: slow' >&2\n"
                      "echo '✓ Removed the files'\necho done\n"),
            (Outcome{true, "✓ Stopped the console\n✓ Removed the files"}));
  EXPECT_EQ(runScript("echo Stopping\necho 'all gone, no marks'\n"), (Outcome{true, ""}));
  EXPECT_EQ(runScript("echo ' ✓ not first'\necho 'x ✓'\n"), (Outcome{true, "✓ not first"}))
      << "only lines that begin with the mark, once trimmed";
}

TEST_F(UninstallerTest, IndentedLinesCountOnceTrimmed) {
  EXPECT_EQ(runScript("printf '  ✓ spaces\\n\\t✓ tab  \\t\\n\\xc2\\xa0✓ no-break\\n \\t \\n'\n"),
            (Outcome{true, "✓ spaces\n✓ tab\n✓ no-break"}));
}

TEST_F(UninstallerTest, FailureShowsTheLastThreeLinesWithoutColours) {
  EXPECT_EQ(runScript("for i in 1 2 3 4 5; do printf '\\e[31m✗\\e[0m line %s \\e[1;32mok\\e[m\\n' "
                      "$i; echo; done\nexit 1\n"),
            (Outcome{false, "✗ line 3 ok\n✗ line 4 ok\n✗ line 5 ok"}));
  EXPECT_EQ(runScript("echo only one >&2\nexit 3\n"), (Outcome{false, "only one"}));
  // Only colour codes go; other escapes stay as they were.
  EXPECT_EQ(runScript("printf '\\e[2Kcleared\\n'\nexit 1\n"), (Outcome{false, "\x1b[2Kcleared"}));
}

TEST_F(UninstallerTest, OutputThatIsNotUtf8CountsAsEmpty) {
  EXPECT_EQ(runScript("printf '✓ done \\xff\\n'\n"), (Outcome{true, ""}));
  EXPECT_EQ(runScript("printf 'broke \\xc3\\n'\nexit 2\n"), (Outcome{false, ""}));
}

TEST_F(UninstallerTest, RunsFromAPrivateCopyThatIsGoneAfterwards) {
  const fs::path noted = home / "noted";
  auto outcome = runScript(
      "echo \"$0\" > \"$HOME/noted\"\nstat -c %a \"$0\" >> \"$HOME/noted\"\n"
      "pwd >> \"$HOME/noted\"\necho \"$#\" >> \"$HOME/noted\"\n");
  ASSERT_TRUE(outcome);
  EXPECT_TRUE(outcome->removed);
  std::istringstream lines(read(noted));
  std::string copy, mode, folder, count;
  std::getline(lines, copy);
  std::getline(lines, mode);
  std::getline(lines, folder);
  std::getline(lines, count);
  const std::string temporary = platform::temporaryFolder().string();
  EXPECT_TRUE(std::regex_match(
      copy, std::regex(temporary + "/quendrel-uninstall-[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-"
                                   "[89AB][0-9A-F]{3}-[0-9A-F]{12}\\.sh")))
      << copy;
  EXPECT_EQ(mode, "600");
  EXPECT_EQ(folder, fs::current_path().string()) << "runs in our own working folder";
  EXPECT_EQ(count, "0") << "no arguments without an application";
  EXPECT_FALSE(fs::exists(copy));
  EXPECT_TRUE(fs::is_empty(platform::temporaryFolder())) << "nothing left in the temporary folder";

  // A failing script leaves nothing behind either.
  EXPECT_EQ(runScript("exit 9\n"), (Outcome{false, ""}));
  EXPECT_TRUE(fs::is_empty(platform::temporaryFolder()));
}

TEST_F(UninstallerTest, PassesTheApplication) {
  auto outcome = Uninstaller::run(removal_testing::notingUninstaller, app);
  ASSERT_TRUE(outcome);
  EXPECT_EQ(read(home / "uninstaller-args"), "--app\n" + app.string() + "\n");
  EXPECT_EQ(outcome->text, "✓ Stopped the console\n✓ Removed Quendrel.app");
  EXPECT_FALSE(fs::exists(app));
}

TEST_F(UninstallerTest, FallsBackToTheInstalledScript) {
  EXPECT_EQ(Uninstaller::run(std::nullopt, std::nullopt), std::nullopt) << "nothing to run";

  layDeskDown();
  write(Paths::install() / "uninstall.sh", "echo '✓ installed one ran'\n", 0644);
  EXPECT_EQ(Uninstaller::run(std::nullopt, std::nullopt), (Outcome{true, "✓ installed one ran"}));

  // A temporary folder that cannot take the copy: the installed script runs instead.
  setenv("TMPDIR", (home / "no such folder").c_str(), 1);
  EXPECT_EQ(Uninstaller::run("echo '✓ the copy ran'\n", std::nullopt),
            (Outcome{true, "✓ installed one ran"}));
}

TEST_F(UninstallerTest, Reports) {
  auto removed = Uninstaller::report(Outcome{true, "✓ a\n✓ b"});
  EXPECT_EQ(removed.message, "Quendrel has been removed.");
  EXPECT_EQ(removed.informative, "✓ a\n✓ b");
  EXPECT_EQ(removed.style, platform::AlertStyle::informational);
  EXPECT_TRUE(removed.buttons.empty());

  auto failed = Uninstaller::report(Outcome{false, "why"});
  EXPECT_EQ(failed.message, "Quendrel was not fully removed.");
  EXPECT_EQ(failed.informative, "why");
  EXPECT_EQ(failed.style, platform::AlertStyle::warning);
  EXPECT_TRUE(failed.buttons.empty());

  auto nothing = Uninstaller::report(std::nullopt);
  EXPECT_EQ(nothing.message, "This copy of Quendrel cannot uninstall itself.");
  EXPECT_EQ(nothing.informative, "Drag Quendrel to the Trash, and then this folder:\n\n" +
                                     (home / "Library/Application Support/Quendrel/Desk").string());
  EXPECT_EQ(nothing.style, platform::AlertStyle::informational);
  EXPECT_TRUE(nothing.buttons.empty());
}
