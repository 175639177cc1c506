// The desk's scripts misbehaving — waiting for an answer on their input, printing megabytes,
// printing bytes that are not UTF-8, failing — under the flows that run one and show what it
// printed: setting up (setup.sh), changing the passphrase (agent.sh set-passphrase) and
// uninstalling (uninstall.sh). Quendrel's own input is a pipe that stays open and silent, as a
// terminal nobody types at. Each flow ends once its script has, and says what it says for a
// failure: the script's last lines, or none when its output is no text.
#include <gtest/gtest.h>

#include "Faults.h"

using namespace faults_testing;
using namespace std::string_literals;

TEST(DeskScripts, EveryFlowEndsWithItsScriptAndSaysWhatItSaid) {
  Home home;
  const fs::path app = home / "Applications/Quendrel.app";
  const fs::path ctl = withCtl(app);
  setenv("QUENDREL_PORT", std::to_string(freePort()).c_str(), 1);
  const struct {
    const char* name;
    const char* script;
    const char* setUp;  // what each flow says of the script's output
    const char* changed;
    const char* removed;
  } behaviours[] = {
      {"waits for an answer, prints megabytes and fails",
       "read -r answer\nyes 'a line of progress' | head -c 2000000\n"
       "printf '\\nnobody answered%s\\n\\nstill here\\ngiving up\\n' \"$answer\"\nexit 1\n",
       "nobody answered still here giving up", "still here\ngiving up\n",
       "nobody answered\nstill here\ngiving up\n"},
      {"prints what is not UTF-8", "printf 'caf\\xe9\\n\\xff\\xfe\\nthree\\n'\nexit 1\n",
       "Setting up did not finish.", "", ""},
  };
  for (const auto& b : behaviours) {
    SCOPED_TRACE(b.name);
    for (const char* name : {"setup.sh", "agent.sh", "uninstall.sh"})
      write(app / "Contents/Resources/payload" / name, "#!/bin/bash\n"s + b.script, 0755);
    // Far beyond what any of these scripts takes: only a flow that hangs goes past it.
    auto failed = [&](const std::vector<std::string>& args) {
      Ran ran = run(ctl, args, {}, Input::quiet, 30);
      EXPECT_FALSE(ran.hung) << args[0];
      EXPECT_EQ(ran.status, 1) << args[0];
      return ran;
    };
    EXPECT_EQ(failed({"setup", "123456", "--terms", "2025-04"}).err, b.setUp + "\n"s);
    EXPECT_EQ(failed({"change-passphrase"}).out, "The passphrase was not changed.\n"s + b.changed);
    EXPECT_EQ(failed({"uninstall"}).out, "Quendrel was not fully removed.\n"s + b.removed);
  }
}
