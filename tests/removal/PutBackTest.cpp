// "Put It Back": the bundle comes back from the Trash whole, also from another file system,
// and the Trash forgets it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>

#include "Removal.h"
#include "app/Manager.h"
#include "platform/Moving.h"
#include "support/ScriptedUi.h"

using removal_testing::Removal;
using testing_support::read;
using testing_support::ScriptedUi;
using testing_support::spinUntil;
using testing_support::write;
namespace fs = std::filesystem;

namespace {

// Every item under `folder` by relative path: kind, permissions, and content or link target.
std::map<std::string, std::string> snapshot(const fs::path& folder) {
  std::map<std::string, std::string> items;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    const auto status = entry.symlink_status();
    std::string kind = std::to_string(static_cast<unsigned>(status.permissions())) + " ";
    if (fs::is_symlink(status)) {
      kind = "link " + fs::read_symlink(entry.path()).string();
    } else if (fs::is_directory(status)) {
      kind += "folder";
    } else {
      kind += "file " + read(entry.path());
    }
    items[fs::relative(entry.path(), folder).string()] = kind;
  }
  return items;
}

// A bundle with what a real one holds: folders, an executable, a private file, a link.
void fillBundle(const fs::path& app) {
  write(app / "Contents/MacOS/quendrel", "#!/bin/bash\necho hello\n", 0755);
  write(app / "Contents/Resources/payload/presets/.private", "keep me", 0600);
  write(app / "Contents/Resources/big", std::string(1 << 20, 'q'));
  fs::create_directory_symlink("Resources/payload", app / "Contents/payload");
}

std::optional<dev_t> deviceOf(const fs::path& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) return std::nullopt;
  return status.st_dev;
}

// A folder on another file system than `near`: the shared-memory file system.
class ElsewhereFolder {
 public:
  explicit ElsewhereFolder(const fs::path& near) {
    auto shm = deviceOf("/dev/shm");
    if (!shm || shm == deviceOf(near)) return;
    std::string pattern = "/dev/shm/quendrel-put-back-XXXXXX";
    if (::mkdtemp(pattern.data())) path_ = pattern;
  }
  ~ElsewhereFolder() {
    std::error_code ignored;
    if (!path_.empty()) fs::remove_all(path_, ignored);
  }
  ElsewhereFolder(const ElsewhereFolder&) = delete;
  ElsewhereFolder& operator=(const ElsewhereFolder&) = delete;
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

using PutBackAcross = Removal;

class PutBack : public Removal {
 protected:
  fs::path info() const { return trash().parent_path() / "info"; }
  ScriptedUi ui;
  std::unique_ptr<Manager> manager;
};

}  // namespace

TEST_F(PutBackAcross, AMoveToAnotherFileSystemCopiesVerifiesAndRemoves) {
  ElsewhereFolder elsewhere(home.path());
  if (elsewhere.path().empty()) GTEST_SKIP() << "/dev/shm is not another file system here";
  const fs::path trashed = elsewhere.path() / ".Trash-0/files/Quendrel.app";
  fs::create_directories(trashed.parent_path());
  fs::copy(app, trashed, fs::copy_options::recursive);
  fs::remove_all(app);
  fillBundle(trashed);
  const auto before = snapshot(trashed);

  ASSERT_EQ(Platform::moveItem(trashed, app), std::nullopt);
  EXPECT_EQ(snapshot(app), before);
  EXPECT_FALSE(fs::exists(trashed));
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(app.parent_path()))
    names.push_back(entry.path().filename().string());
  EXPECT_EQ(names, std::vector<std::string>{"Quendrel.app"}) << "no copy is left beside it";
}

TEST_F(PutBackAcross, NothingIsReplacedOnTheOtherFileSystem) {
  ElsewhereFolder elsewhere(home.path());
  if (elsewhere.path().empty()) GTEST_SKIP() << "/dev/shm is not another file system here";
  const fs::path trashed = elsewhere.path() / ".Trash-0/files/Quendrel.app";
  fs::create_directories(trashed.parent_path());
  fs::copy(app, trashed, fs::copy_options::recursive);
  fillBundle(trashed);
  const auto there = snapshot(app);
  const auto inTrash = snapshot(trashed);

  EXPECT_NE(Platform::moveItem(trashed, app), std::nullopt) << "something stands in the way";
  EXPECT_EQ(snapshot(app), there);
  EXPECT_EQ(snapshot(trashed), inTrash);
}

TEST_F(PutBack, TheTrashForgetsTheBundleItGaveBack) {
  layDeskDown();
  manager = std::make_unique<Manager>(ui, std::vector<std::string>{});
  manager->carryOn();
  const fs::path trashed = trash() / "Quendrel.app";
  // As a file manager trashes: the note first, then the item.
  write(info() / "Quendrel.app.trashinfo",
        "[Trash Info]\nPath=" + app.string() + "\nDeletionDate=2026-12-07T04:00:00\n");
  write(info() / "Other.app.trashinfo", "[Trash Info]\nPath=/elsewhere/Other.app\n");
  fs::create_directories(trashed.parent_path());
  fs::rename(app, trashed);

  ASSERT_TRUE(spinUntil([&] { return !ui.alerts.empty(); }));
  EXPECT_EQ(ui.alerts[0].message, "Quendrel is in the Trash");
  // Return chose "Put It Back".
  EXPECT_TRUE(fs::exists(app / "Contents/Info.plist"));
  EXPECT_FALSE(fs::exists(trashed));
  EXPECT_FALSE(fs::exists(info() / "Quendrel.app.trashinfo"));
  EXPECT_TRUE(fs::exists(info() / "Other.app.trashinfo")) << "other notes stay";
  EXPECT_EQ(ui.alerts.size(), 1u) << "no failure shown";
}
