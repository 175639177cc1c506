// The uninstaller as it runs: what the user is shown of its output, the private copy it runs
// from, and quendrelctl's run of it (what the reference uninstaller keeps and removes is the
// devkit's own tests' business; quendrelctl's failures, the faults tests').
#include "removal/Uninstaller.h"

#include <gtest/gtest.h>

#include <regex>

#include "Removal.h"
#include "placement/Desktop.h"
#include "platform/Files.h"
#include "platform/Process.h"
#include "text/Text.h"

using removal_testing::Removal;
using Uninstaller::Outcome;

using UninstallerTest = Removal;

TEST_F(UninstallerTest, WhatTheUserIsShown) {
  const std::pair<const char*, Outcome> cases[] = {
      // Done: the lines that start with the check mark, once trimmed of blanks.
      {"echo Stopping\necho '✓ Stopped it'\necho 'slow' >&2\necho ' x ✓'\n"
       "printf '  ✓ spaces\\n\\t✓ tab  \\t\\n\\xc2\\xa0✓ no-break\\n \\t \\n'\n",
       {true, "✓ Stopped it\n✓ spaces\n✓ tab\n✓ no-break"}},
      // Failed: the last three lines said, without their colours (only colours).
      {"for i in 1 2 3; do printf '\\e[31m✗\\e[0m %s \\e[1;32mok\\e[m\\n' $i; echo; done\n"
       "printf '\\e[2Kcleared\\n'\necho only >&2\nexit 3\n",
       {false, "✗ 3 ok\n\x1b[2Kcleared\nonly"}},
  };
  for (const auto& [script, shown] : cases)
    EXPECT_EQ(Uninstaller::run(script, std::nullopt), shown) << script;
}

// What it leaves in the temporary folder, and its arguments, are the security checks' and the
// removal flows' business.
TEST_F(UninstallerTest, RunsFromACopyNobodyCanForeseeOrElseTheInstalledScript) {
  ASSERT_TRUE(Uninstaller::run("printf '%s\\n' \"$0\" \"$PWD\" > \"$HOME/noted\"\n", std::nullopt));
  const auto noted = Text::nonEmptyLines(read(home / "noted"));
  ASSERT_EQ(noted.size(), 2u);
  EXPECT_TRUE(std::regex_match(noted[0], std::regex(Platform::temporaryFolder().string() +
                                                    "/quendrel-uninstall-[0-9A-F]{8}"
                                                    "(-[0-9A-F]{4}){3}-[0-9A-F]{12}\\.sh")))
      << noted[0] << ": a name nobody can foresee";
  EXPECT_EQ(noted[1], fs::current_path().string()) << "runs in our own working folder";
  // A temporary folder that cannot take the copy: the installed script runs instead.
  write(Paths::install() / "uninstall.sh", "echo '✓ installed one ran'\n");
  setenv("TMPDIR", (home / "no such folder").c_str(), 1);
  EXPECT_EQ(Uninstaller::run("echo '✓ the copy'\n", std::nullopt),
            (Outcome{true, "✓ installed one ran"}));

  EXPECT_EQ(Uninstaller::report(Outcome{true, "✓ a"}).style, Platform::AlertStyle::informational);
  EXPECT_EQ(Uninstaller::report(Outcome{false, "why"}).style, Platform::AlertStyle::warning);
  EXPECT_EQ(Uninstaller::report(std::nullopt).informative,
            "Drag Quendrel to the Trash, and then this folder:\n\n" + Paths::install().string());
}

TEST_F(UninstallerTest, QuendrelctlUninstallsAsTheMenuDoes) {
  write(Paths::movedInstall() / "uninstall.sh", removal_testing::notingUninstaller, 0755);
  write(Desktop::entry(), Desktop::entryText(app, app / "Contents/MacOS/Quendrel"));
  const auto ctl = [](const std::vector<std::string>& args) {
    auto ran =
        std::get<Platform::Exited>(Platform::run({QUENDRELCTL, args, ""}, Platform::Output::pipe));
    return std::pair(ran.status, ran.output);
  };
  EXPECT_EQ(ctl({"uninstall", "--app", app.string()}),
            std::pair(0, std::string("Quendrel has been removed.\n✓ Stopped the console\n"
                                     "✓ Removed Quendrel.app\n")));
  EXPECT_FALSE(fs::exists(app) || fs::exists(Desktop::entry()))
      << "the desktop entry goes with the application";
}
