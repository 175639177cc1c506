// quendrelctl update: the same fetch as the menu, printed line by line; never an install.
#include <gtest/gtest.h>

#include "placement/Applications.h"
#include "placement/Identity.h"
#include "placement/Moving.h"
#include "update/Releases.h"

using namespace update_testing;
namespace fs = std::filesystem;

using UpdateCommand = Releasing;

TEST_F(UpdateCommand, PrintsTheLineAsItChangesAndStagesWithoutSwapping) {
  Key other = makeKey(home / "other.key");
  const struct {
    std::string version;
    const Key& signer;
    int status;
    std::string output;
    std::string staged;  // the version staged afterwards
  } cases[] = {
      {"2.0", key, 0, "Getting Quendrel 2.0…\nRelaunch to finish updating to 2.0\n", "2.0"},
      {"1.0", key, 0, "Quendrel is up to date\n", ""},
      {"2.0", other, 1,
       "Getting Quendrel 2.0…\nQuendrel 2.0 could not be fetched\nThe downloaded Quendrel is not "
       "signed by the same developer as this one, so it has not been installed.\n",
       ""},
  };
  install(key, true);
  for (const auto& c : cases) {
    fs::remove_all(AppUpdate::staging());
    publish(c.version, c.signer);
    auto ran = run((ours / "Contents/MacOS/quendrelctl").string(), {"update"});
    EXPECT_EQ(ran.status, c.status) << c.output;
    EXPECT_EQ(ran.output, c.output);
    EXPECT_EQ(Settling::version(AppUpdate::staging() / "Quendrel.app"), c.staged) << c.output;
    EXPECT_FALSE(mountedBelow(AppUpdate::staging())) << "ends only once the image is detached";
  }
  EXPECT_EQ(Settling::version(ours), "1.0") << "never swapped";
  EXPECT_EQ(starts(), "") << "nothing started";
}
