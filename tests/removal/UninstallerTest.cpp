// The uninstaller as it runs: what the user is shown of its output, the private copy it runs
// from, and the reference payload's uninstaller run by the menu and by quendrelctl (the desk
// and the application go, the user's presets and projects stay on the Desktop).
#include "removal/Uninstaller.h"

#include <gtest/gtest.h>

#include <regex>
#include <sstream>

#include "Removal.h"
#include "app/Manager.h"
#include "placement/Desktop.h"
#include "platform/Files.h"
#include "platform/Process.h"
#include "support/ScriptedUi.h"
#include "text/Text.h"

using removal_testing::Removal;
using testing_support::read;
using testing_support::ScriptedUi;
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

namespace {

const fs::path reference = fs::path(SOURCE_ROOT) / "devkit/payload/uninstall.sh";

// The desk's agent is a stand-in that stops at once: the uninstaller's work is what counts,
// and what it keeps and removes is the devkit's own tests' business.
class EndToEnd : public Removal {
 protected:
  void SetUp() override {
    layDeskDown();
    write(Paths::install() / "uninstall.sh", read(reference), 0755);
    write(Paths::install() / "presets/Sunday.json", "{}");
  }
  // The desktop entry and an icon, as a copy in an Applications folder leaves them.
  void introduced() {
    write(Desktop::entry(), Desktop::entryText(app, app / "Contents/MacOS/Quendrel"));
    write(Desktop::icon(48), "knob");
  }
  bool forgotten() { return !fs::exists(Desktop::entry()) && !fs::exists(Desktop::icon(48)); }
  Platform::Exited ctl(const std::vector<std::string>& args) {
    auto ran = Platform::run({QUENDRELCTL, args, ""}, Platform::Output::pipe);
    return std::get<Platform::Exited>(ran);
  }
};

}  // namespace

TEST_F(EndToEnd, TheMenuRemovesTheDeskAndTheApplication) {
  write(app / "Contents/Resources/payload/uninstall.sh", read(reference), 0755);
  ScriptedUi ui;
  Manager manager(ui, {});
  manager.carryOn();
  introduced();
  ui.answers = {Platform::firstButton};
  ui.item->choose(Manager::uninstallLine);
  ASSERT_EQ(ui.alerts.size(), 2u);
  const std::string text = ui.alerts[1].informative;
  EXPECT_NE(text.find("✓ Removed Quendrel.app from " + (home / "Applications").string()),
            std::string::npos)
      << text;
  for (const auto& line : Text::nonEmptyLines(text)) EXPECT_EQ(line.rfind("✓", 0), 0u) << line;
  EXPECT_FALSE(fs::exists(app));
  EXPECT_TRUE(forgotten());
  EXPECT_FALSE(fs::exists(Paths::movedInstall()));
  EXPECT_TRUE(fs::exists(home / "Desktop/Quendrel — your mixes/presets/Sunday.json"));
  EXPECT_TRUE(manager.terminated());
}

TEST_F(EndToEnd, QuendrelctlUninstallsAndSaysWhenItCannot) {
  introduced();
  auto ran = ctl({"uninstall", "--app", app.string()});
  EXPECT_EQ(ran.status, 0) << ran.output;
  EXPECT_TRUE(forgotten()) << "the desktop entry goes with the application";
  EXPECT_EQ(ran.output.rfind("Quendrel has been removed.\n✓ Stopped the console\n", 0), 0u)
      << ran.output;
  EXPECT_FALSE(fs::exists(app));

  // With the desk went its installed uninstaller, and quendrelctl has no bundle to take one
  // from.
  ran = ctl({"uninstall"});
  EXPECT_EQ(ran.status, 1);
  EXPECT_EQ(ran.output.rfind("This copy of Quendrel cannot uninstall itself.\n", 0), 0u);

  write(Paths::install() / "uninstall.sh",
        "echo first\necho second\necho third\necho fourth\nexit 4\n");
  ran = ctl({"uninstall"});
  EXPECT_EQ(ran.status, 1);
  EXPECT_EQ(ran.output, "Quendrel was not fully removed.\nsecond\nthird\nfourth\n");
}
