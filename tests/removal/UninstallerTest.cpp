#include "removal/Uninstaller.h"

#include <gtest/gtest.h>

#include <regex>
#include <sstream>

#include "Removal.h"
#include "platform/Files.h"

using removal_testing::Removal;
using testing_support::read;
using testing_support::write;
using Uninstaller::Outcome;
namespace fs = std::filesystem;

using UninstallerTest = Removal;

TEST_F(UninstallerTest, WhatTheUserIsShown) {
  struct Case {
    const char* script;
    Outcome shown;
  } cases[] = {
      {"echo Stopping\necho '✓ Stopped it'\necho 'slow' >&2\necho '✓ Removed it'\necho done\n",
       {true, "✓ Stopped it\n✓ Removed it"}},
      {"echo 'all gone, no marks'\necho ' x ✓'\n", {true, ""}},
      {"printf '  ✓ spaces\\n\\t✓ tab  \\t\\n\\xc2\\xa0✓ no-break\\n \\t \\n'\n",
       {true, "✓ spaces\n✓ tab\n✓ no-break"}},
      {"for i in 1 2 3 4 5; do printf '\\e[31m✗\\e[0m %s \\e[1;32mok\\e[m\\n' $i; echo; done\n"
       "exit 1\n",
       {false, "✗ 3 ok\n✗ 4 ok\n✗ 5 ok"}},
      {"echo only one >&2\nexit 3\n", {false, "only one"}},
      {"printf '\\e[2Kcleared\\n'\nexit 1\n", {false, "\x1b[2Kcleared"}},  // not a colour
      {"printf '✓ done \\xff\\n'\n", {true, ""}},                          // not UTF-8
      {"printf 'broke \\xc3\\n'\nexit 2\n", {false, ""}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(Uninstaller::run(c.script, std::nullopt), c.shown) << c.script;
}

TEST_F(UninstallerTest, RunsFromAPrivateCopyThatIsGoneAfterwards) {
  auto outcome = Uninstaller::run(
      "printf '%s\\n' \"$0\" \"$(stat -c %a \"$0\")\" \"$PWD\" \"$#\" > \"$HOME/noted\"\n",
      std::nullopt);
  ASSERT_TRUE(outcome && outcome->removed);
  std::istringstream noted(read(home / "noted"));
  std::string copy, mode, folder, count;
  for (auto* line : {&copy, &mode, &folder, &count}) std::getline(noted, *line);
  const std::string temporary = Platform::temporaryFolder().string();
  EXPECT_TRUE(std::regex_match(
      copy, std::regex(temporary + "/quendrel-uninstall-[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}"
                                   "\\.sh")))
      << copy;
  EXPECT_EQ(mode, "600");
  EXPECT_EQ(folder, fs::current_path().string()) << "runs in our own working folder";
  EXPECT_EQ(count, "0") << "no arguments without an application";
  EXPECT_TRUE(fs::is_empty(temporary)) << "the copy is gone";
  EXPECT_EQ(Uninstaller::run("exit 9\n", std::nullopt), (Outcome{false, ""}));
  EXPECT_TRUE(fs::is_empty(temporary)) << "a failed run leaves nothing either";

  Uninstaller::run(removal_testing::notingUninstaller, app);
  EXPECT_EQ(read(home / "uninstaller-args"), "--app\n" + app.string() + "\n");
}

TEST_F(UninstallerTest, FallsBackToTheInstalledScript) {
  EXPECT_EQ(Uninstaller::run(std::nullopt, std::nullopt), std::nullopt) << "nothing to run";
  layDeskDown();
  write(Paths::install() / "uninstall.sh", "echo '✓ installed one ran'\n");
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
  EXPECT_EQ(removed.style, Platform::AlertStyle::informational);
  auto failed = Uninstaller::report(Outcome{false, "why"});
  EXPECT_EQ(failed.message, "Quendrel was not fully removed.");
  EXPECT_EQ(failed.informative, "why");
  EXPECT_EQ(failed.style, Platform::AlertStyle::warning);
  auto nothing = Uninstaller::report(std::nullopt);
  EXPECT_EQ(nothing.message, "This copy of Quendrel cannot uninstall itself.");
  EXPECT_EQ(nothing.informative, "Drag Quendrel to the Trash, and then this folder:\n\n" +
                                     (home / "Library/Application Support/Quendrel/Desk").string());
  for (const auto& alert : {removed, failed, nothing}) EXPECT_TRUE(alert.buttons.empty());
}
