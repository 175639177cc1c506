// "Put It Back" from another file system: the bundle is copied back whole and the Trash's
// copy removed; nothing that stands in the way is ever replaced.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "Removal.h"
#include "platform/Moving.h"

using removal_testing::Removal;
using testing_support::snapshot;

using PutBackAcross = Removal;

TEST_F(PutBackAcross, TheBundleComesBackWholeAndNothingIsReplaced) {
  struct stat shm {
  }, here{};
  std::string elsewhere = "/dev/shm/quendrel-put-back-XXXXXX";
  if (stat("/dev/shm", &shm) != 0 || stat(home.path().c_str(), &here) != 0 ||
      shm.st_dev == here.st_dev || !mkdtemp(elsewhere.data())) {
    GTEST_SKIP() << "/dev/shm is not another file system here";
  }
  const std::shared_ptr<void> removed(nullptr, [&](void*) {
    std::error_code ignored;
    fs::remove_all(elsewhere, ignored);
  });
  const fs::path trashed = fs::path(elsewhere) / ".Trash-0/files/Quendrel.app";
  fs::create_directories(trashed.parent_path());
  fs::copy(app, trashed, fs::copy_options::recursive);
  // What a real bundle holds: an executable, a private file, a large file, a link.
  write(trashed / "Contents/MacOS/quendrel", "#!/bin/bash\necho hello\n", 0755);
  write(trashed / "Contents/Resources/payload/presets/.private", "keep me", 0600);
  write(trashed / "Contents/Resources/big", std::string(1 << 20, 'q'));
  fs::create_directory_symlink("Resources/payload", trashed / "Contents/payload");
  const auto there = snapshot(app.parent_path()), inTrash = snapshot(trashed);

  EXPECT_NE(Platform::moveItem(trashed, app), std::nullopt) << "something stands in the way";
  EXPECT_EQ(snapshot(app.parent_path()), there) << "and no copy is left beside it";
  EXPECT_EQ(snapshot(trashed), inTrash);

  fs::remove_all(app);
  ASSERT_EQ(Platform::moveItem(trashed, app), std::nullopt);
  EXPECT_EQ(testing_support::namesIn(app.parent_path()), std::vector<std::string>{"Quendrel.app"});
  EXPECT_EQ(snapshot(app), inTrash);
  EXPECT_FALSE(fs::exists(trashed));
}
