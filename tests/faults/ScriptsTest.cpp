// The desk's setup script misbehaving — waiting for an answer on its input, printing
// megabytes, printing bytes that are not UTF-8 — and failing. Quendrel's own input is a pipe
// that stays open and silent, as a terminal nobody types at. Setting up ends once the script
// has, and says the script's last three lines, or that it did not finish when its output is
// no text. (Changing the passphrase and uninstalling show their scripts' lines in their own
// tests; every script runs the same way, so one flow shows the input is not passed on.)

#include "Faults.h"

using namespace faults_testing;

TEST(DeskScripts, SettingUpEndsWithItsScriptAndSaysWhatItSaid) {
  Home home;
  const fs::path app = home / "Applications/Quendrel.app", ctl = withCtl(app);
  for (const auto& [script, said] :
       {std::pair{"read -r answer\nyes 'a line of progress' | head -c 2000000\n"
                  "printf '\\nnobody answered%s\\n\\nstill here\\ngiving up\\n' \"$answer\"\n",
                  "nobody answered still here giving up\n"},
        {"printf 'caf\\xe9\\n\\xff\\xfe\\nthree\\n'\n", "Setting up did not finish.\n"}}) {
    write(app / "Contents/Resources/payload/setup.sh",
          std::string("#!/bin/bash\n") + script + "exit 1\n", 0755);
    // Far beyond what the script takes: only a flow that hangs goes past the guard.
    Ran ran = run(ctl, {"setup", "123456", "--terms", "2025-04"}, {}, Input::quiet, 30);
    EXPECT_EQ(std::tuple(ran.hung, ran.status, ran.err), std::tuple(false, 1, std::string(said)));
  }
}
