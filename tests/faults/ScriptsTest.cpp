// The desk's scripts misbehaving — failing, waiting for an answer on their input, printing
// megabytes, printing bytes that are not UTF-8 — under each flow that runs one and waits for
// it: setting up (setup.sh), changing the passphrase (agent.sh set-passphrase), quitting
// (agent.sh stop) and uninstalling (uninstall.sh). Quendrel's own input is a pipe that stays
// open and silent, as a terminal nobody types at. Each flow ends once its script has, and says
// what it says for a failure.
#include <gtest/gtest.h>

#include "Faults.h"
#include "desk/Paths.h"

using namespace faults_testing;

namespace {

struct Behaviour {
  const char* name;
  const char* script;  // the body of every script
  // The last three non-empty lines it prints, or none when its output is no text.
  std::vector<std::string> last;
};

std::string joined(const std::vector<std::string>& lines, std::size_t n, const std::string& by) {
  std::string text;
  for (std::size_t i = lines.size() > n ? lines.size() - n : 0; i < lines.size(); ++i) {
    text += (text.empty() ? "" : by) + lines[i];
  }
  return text;
}

const Behaviour behaviours[] = {
    {"fails", "printf 'one\\ntwo\\n\\nthree\\nfour\\n'\nexit 1\n", {"two", "three", "four"}},
    {"waits for an answer",
     "read -r answer\necho \"nobody answered$answer\"\necho still here\necho giving up\nexit 1\n",
     {"nobody answered", "still here", "giving up"}},
    {"prints megabytes",
     "yes 'a line of progress' | head -c 2000000\nprintf '\\none\\ntwo\\nthree\\n'\nexit 1\n",
     {"one", "two", "three"}},
    {"prints what is not UTF-8", "printf 'caf\\xe9\\n\\xff\\xfe\\nthree\\n'\nexit 1\n", {}},
};

// Far beyond what any of these scripts takes: only a flow that hangs goes past it.
constexpr double guard = 30;

}  // namespace

TEST(DeskScripts, EveryFlowEndsWithItsScriptAndSaysWhatItSaid) {
  Home home;
  const fs::path app = home / "Applications/Quendrel.app";
  const fs::path payload = app / "Contents/Resources/payload";
  const fs::path ctl = withCtl(app);
  setenv("QUENDREL_PORT", std::to_string(freePort()).c_str(), 1);

  for (const auto& behaviour : behaviours) {
    SCOPED_TRACE(behaviour.name);
    const std::string script = std::string("#!/bin/bash\n") + behaviour.script;
    for (const char* name : {"setup.sh", "agent.sh", "uninstall.sh"}) {
      write(payload / name, script, 0755);
    }
    const auto& last = behaviour.last;

    Ran setUp = run(ctl, {"setup", "123456", "--terms", "2025-04"}, {}, Input::quiet, guard);
    EXPECT_FALSE(setUp.hung);
    EXPECT_EQ(setUp.status, 1);
    EXPECT_EQ(setUp.err,
              (last.empty() ? "Setting up did not finish." : joined(last, 3, " ")) + "\n");
    ASSERT_TRUE(fs::exists(Paths::install() / "agent.sh")) << "the payload was laid down";

    Ran changed = run(ctl, {"change-passphrase"}, {}, Input::quiet, guard);
    EXPECT_FALSE(changed.hung);
    EXPECT_EQ(changed.status, 1);
    EXPECT_EQ(changed.out, "The passphrase was not changed.\n" +
                               (last.empty() ? "" : joined(last, 2, "\n") + "\n"));

    Ran quit = drive({"quit"}, {}, Input::quiet, guard);
    EXPECT_FALSE(quit.hung);
    const std::string stays =
        "Quendrel's console did not stop\n"
        "It is still running. Quendrel stays open so that you can try again.\n"
        "stays open\n";
    EXPECT_TRUE(quit.out.ends_with(stays))
        << quit.out.substr(quit.out.size() - std::min<std::size_t>(quit.out.size(), 300));

    Ran removed = run(ctl, {"uninstall"}, {}, Input::quiet, guard);
    EXPECT_FALSE(removed.hung);
    EXPECT_EQ(removed.status, 1);
    EXPECT_EQ(removed.out, "Quendrel was not fully removed.\n" +
                               (last.empty() ? "" : joined(last, 3, "\n") + "\n"));
  }
}
