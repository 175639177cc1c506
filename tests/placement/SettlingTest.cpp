// Destinations, descriptions, installed copies, renaming and moving copies into place.
#include <sys/inotify.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "placement/Applications.h"
#include "placement/Copies.h"
#include "placement/Identity.h"
#include "placement/Moving.h"
#include "placement/Sandbox.h"
#include "platform/Attributes.h"
#include "platform/Items.h"
#include "platform/Lock.h"
#include "support/Home.h"

using namespace placement_testing;
using testing_support::Home;
using testing_support::read;
using testing_support::write;
namespace fs = std::filesystem;

namespace {

const Settling::Test always = [](const fs::path&) { return true; };
const Settling::Test never = [](const fs::path&) { return false; };

std::vector<std::string> namesIn(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

#define REQUIRE_SANDBOX() \
  if (!sandboxed()) GTEST_SKIP() << "needs the private root (root and unshare)"

}  // namespace

TEST(Placing, DestinationIsTheFirstWritableFolderUnlessAlreadyPlaced) {
  Home home;
  const fs::path a = home / "A", b = home / "B";
  fs::create_directories(a / "Tools");
  fs::create_directories(b);
  const Settling::Folders both{a, b};
  auto writable = [&](const fs::path& f) { return f == b; };

  EXPECT_EQ(Settling::destination(home / "Downloads/Quendrel.app", both, Settling::canWrite),
            a / "Quendrel.app");
  EXPECT_EQ(Settling::destination(home / "Downloads/Quendrel.app", both, writable),
            b / "Quendrel.app");
  EXPECT_EQ(Settling::destination(home / "Downloads/Other Name.app/", both, writable),
            b / "Quendrel.app")
      << "always under the current name";
  EXPECT_FALSE(Settling::destination(home / "Downloads/Quendrel.app", both, never));
  EXPECT_FALSE(Settling::destination(home / "Downloads/Quendrel.app", {}, always));
  EXPECT_FALSE(Settling::destination(home / "Downloads/quendrel", both, always)) << "no .app";
  EXPECT_FALSE(Settling::destination(home / "Downloads/Quendrel.APP", both, always));
  EXPECT_FALSE(Settling::destination(a / "Tools/Quendrel.app", both, always)) << "any depth";
  EXPECT_FALSE(Settling::destination(b / "Tarvic.app", both, always));
  EXPECT_TRUE(Settling::destination(home / "A2/Quendrel.app", both, always))
      << "a folder beside one with a longer name is not inside it";

  fs::create_directory_symlink(a, home / "Link");
  EXPECT_FALSE(Settling::destination(home / "Link/Quendrel.app", both, always))
      << "reached through a link, still inside A";
  EXPECT_FALSE(Settling::destination(a / "Quendrel.app", {home / "Link"}, always))
      << "the folders' links are resolved too";
}

TEST(Placing, CanWriteAFolderOrTheParentThatWouldHoldIt) {
  REQUIRE_SANDBOX();
  Home home;
  fs::create_directories(home / "Applications");
  EXPECT_TRUE(Settling::canWrite(home / "Applications"));
  EXPECT_TRUE(Settling::canWrite(home / "Missing")) << "it could be made";
  write(home / "File", "");
  EXPECT_FALSE(Settling::canWrite(home / "File"));
  EXPECT_TRUE(Settling::canWrite("/Applications"));

  ASSERT_TRUE(makeReadOnly("/Applications"));
  EXPECT_FALSE(Settling::canWrite("/Applications"));
  EXPECT_FALSE(Settling::canWrite("/Applications/Sub"));
  EXPECT_FALSE(Settling::canWrite("/proc/1")) << "a folder of a read-only kind";
}

TEST(Placing, TheHomeApplicationsFolderIsMadeWhenTheSystemOneIsReadOnly) {
  REQUIRE_SANDBOX();
  Home home;
  Key key = makeKey(home.path());
  makeApp(home / "Downloads/Quendrel.app", {}, &key);
  ASSERT_TRUE(makeReadOnly("/Applications"));
  ASSERT_FALSE(fs::exists(home / "Applications"));

  auto target = Settling::destination(home / "Downloads/Quendrel.app", Settling::folders(),
                                      Settling::canWrite);
  ASSERT_EQ(target, home / "Applications/Quendrel.app");
  EXPECT_EQ(Settling::move(home / "Downloads/Quendrel.app", *target, never),
            Settling::Outcome(Settling::Moved{*target}));
  EXPECT_TRUE(valid(*target));
  EXPECT_EQ(namesIn(home / "Applications"), std::vector<std::string>{"Quendrel.app"});
  EXPECT_TRUE(valid(home / "Downloads/Quendrel.app")) << "the source is never changed";
}

TEST(Placing, DescribeSaysWhereTheCopyIs) {
  Home home;
  EXPECT_EQ(Settling::describe(home / "Downloads/Quendrel.app"), "your Downloads folder");
  EXPECT_EQ(Settling::describe(home / "Downloads/nested/deeper/Quendrel.app"),
            "your Downloads folder");
  EXPECT_EQ(Settling::describe(home / "Downloads"), "“home”") << "not below Downloads";
  EXPECT_EQ(Settling::describe(home / "Downloads Old/Quendrel.app"), "“Downloads Old”");
  EXPECT_EQ(Settling::describe(home / "Desktop/Quendrel.app"), "“Desktop”");
  EXPECT_EQ(Settling::describe(home / "Desktop/Quendrel.app/"), "“Desktop”");
  EXPECT_EQ(Settling::describe("/private/var/folders/xy/AppTranslocation/ABC/d/Quendrel.app"),
            "where it was downloaded");
  EXPECT_EQ(Settling::describe(home / "Downloads/AppTranslocation/Quendrel.app"),
            "where it was downloaded")
      << "translocation is asked before the Downloads folder";
  EXPECT_EQ(Settling::describe("/Quendrel.app"), "“/”");
}

TEST(Placing, InstalledCopyIsTheNewestOfOursUnderEitherName) {
  Home home;
  const fs::path a = home / "A", b = home / "B";
  const Settling::Folders both{a, b};
  EXPECT_FALSE(Settling::installedCopy(both));

  makeApp(b / "Quendrel.app", {"com.quendrel.manager", "1.0", "1"}, nullptr);
  EXPECT_EQ(Settling::installedCopy(both), b / "Quendrel.app");

  makeApp(a / "Quendrel.app", {"com.quendrel.manager", "1.0", "1"}, nullptr);
  EXPECT_EQ(Settling::installedCopy(both), a / "Quendrel.app") << "the earlier folder on a tie";

  makeApp(a / "Tarvic.app", {"com.tarvicone.manager", "1.0", "1"}, nullptr);
  EXPECT_EQ(Settling::installedCopy(both), a / "Quendrel.app") << "the current name on a tie";

  makeApp(a / "Tarvic.app", {"com.tarvicone.manager", "1.0.0", "2"}, nullptr);
  EXPECT_EQ(Settling::installedCopy(both), a / "Tarvic.app") << "a newer build wins";

  makeApp(b / "Quendrel.app", {"com.quendrel.manager", "1.1", "1"}, nullptr);
  EXPECT_EQ(Settling::installedCopy(both), b / "Quendrel.app");

  makeApp(b / "Quendrel.app", {"org.example.other", "9.0", "1"}, nullptr);
  EXPECT_EQ(Settling::installedCopy(both), a / "Tarvic.app") << "not ours: not a copy";
  makeApp(a / "Sub/Quendrel.app", {"com.quendrel.manager", "9.0", "1"}, nullptr);
  makeApp(a / "Quendrel 2.app", {"com.quendrel.manager", "9.0", "1"}, nullptr);
  EXPECT_EQ(Settling::installedCopy(both), a / "Tarvic.app") << "only the two names, directly";
}

TEST(Placing, OnlyACopyOfOursUnderTheEarlierNameIsRenamed) {
  Home home;
  const fs::path apps = home / "Applications";
  const Settling::Folders folders{"/nowhere", apps};
  makeApp(apps / "Tarvic.app", {"com.tarvicone.manager", "1.0", "1"}, nullptr);

  EXPECT_FALSE(Settling::renamedToCurrent(apps / "Tarvic.app", {"/nowhere"}));
  EXPECT_FALSE(Settling::renamedToCurrent(home / "Applications/../Applications/Tarvic.app", {}));

  write(apps / "Quendrel.app", "");
  EXPECT_FALSE(Settling::renamedToCurrent(apps / "Tarvic.app", folders)) << "the name is taken";
  fs::remove(apps / "Quendrel.app");
  fs::create_symlink("nowhere", apps / "Quendrel.app");
  EXPECT_FALSE(Settling::renamedToCurrent(apps / "Tarvic.app", folders))
      << "even a dangling link takes the name";
  fs::remove(apps / "Quendrel.app");

  auto renamed = Settling::renamedToCurrent(apps / "Tarvic.app", folders);
  EXPECT_EQ(renamed, apps / "Quendrel.app");
  EXPECT_TRUE(Settling::isOurs(apps / "Quendrel.app"));
  EXPECT_FALSE(fs::exists(apps / "Tarvic.app"));
  EXPECT_FALSE(Settling::renamedToCurrent(apps / "Quendrel.app", folders)) << "already current";

  makeApp(apps / "Sub/Tarvic.app", {"com.tarvicone.manager"}, nullptr);
  EXPECT_FALSE(Settling::renamedToCurrent(apps / "Sub/Tarvic.app", folders)) << "not directly in";
  makeApp(home / "Elsewhere/Tarvic.app", {"org.example.other"}, nullptr);
  EXPECT_FALSE(Settling::renamedToCurrent(home / "Elsewhere/Tarvic.app", {home / "Elsewhere"}))
      << "not ours";
  makeApp(home / "Elsewhere/Other.app", {"com.quendrel.manager"}, nullptr);
  EXPECT_FALSE(Settling::renamedToCurrent(home / "Elsewhere/Other.app", {home / "Elsewhere"}))
      << "not one of our names";
}

TEST(Moving, AFreshCopyLandsSignedClearedAndAlone) {
  Home home;
  Key key = makeKey(home.path());
  const fs::path source = home / "Downloads/Quendrel.app";
  makeApp(source, {}, &key);
  ASSERT_EQ(Platform::Attributes::set(source / "Contents/MacOS/Quendrel",
                                      Platform::Attributes::quarantine, "0081;download"),
            0);
  ASSERT_EQ(Platform::Attributes::set(source, Platform::Attributes::quarantine, "0081"), 0);
  ASSERT_EQ(Platform::Attributes::set(source / "Contents/Info.plist", "user.kept", "yes"), 0);
  fs::last_write_time(source / "Contents/Info.plist",
                      fs::file_time_type::clock::now() - std::chrono::hours(48));
  fs::create_directory_symlink(home / "Downloads", home / "Shortcut");

  const fs::path target = home / "Apps/Nested/Quendrel.app";
  auto outcome = Settling::move(home / "Shortcut/Quendrel.app", target, always);
  EXPECT_EQ(outcome, Settling::Outcome(Settling::Moved{target}))
      << "the running test is asked only when replacing";

  EXPECT_TRUE(valid(target));
  EXPECT_TRUE(Settling::intact(target, source));
  EXPECT_EQ(fs::symlink_status(target / "Contents/Resources/setup").type(), fs::file_type::symlink);
  EXPECT_FALSE(Platform::Attributes::has(target, Platform::Attributes::quarantine));
  EXPECT_FALSE(Platform::Attributes::has(target / "Contents/MacOS/Quendrel",
                                         Platform::Attributes::quarantine));
  EXPECT_TRUE(Platform::Attributes::has(target / "Contents/Info.plist", "user.kept"));
  EXPECT_EQ(fs::last_write_time(target / "Contents/Info.plist"),
            fs::last_write_time(source / "Contents/Info.plist"));
  EXPECT_TRUE(Platform::Attributes::has(source / "Contents/MacOS/Quendrel",
                                        Platform::Attributes::quarantine))
      << "the source is never changed";
  EXPECT_EQ(namesIn(home / "Apps/Nested"), std::vector<std::string>{"Quendrel.app"});
}

TEST(Moving, ACopyOfOursIsReplacedUnlessItRuns) {
  Home home;
  Key key = makeKey(home.path());
  const fs::path source = home / "Downloads/Quendrel.app";
  makeApp(source, {"com.quendrel.manager", "2.0", "5"}, &key);
  const fs::path apps = home / "Applications";
  makeApp(apps / "Tarvic.app", {"com.tarvicone.manager", "1.0", "1"}, &key);

  {  // running: nothing copied, nothing changed
    Running old(apps / "Tarvic.app", politeArguments());
    EXPECT_TRUE(Settling::isRunning(apps / "Tarvic.app"));
    EXPECT_EQ(Settling::move(source, apps / "Tarvic.app", Settling::isRunning),
              Settling::Outcome(Settling::Running{}));
    EXPECT_EQ(namesIn(apps), std::vector<std::string>{"Tarvic.app"});
    EXPECT_EQ(Settling::version(apps / "Tarvic.app"), "1.0");
    EXPECT_FALSE(old.ended());
  }

  // Not running: swapped in place under its own name, the old one thrown away.
  EXPECT_EQ(Settling::move(source, apps / "Tarvic.app", Settling::isRunning),
            Settling::Outcome(Settling::Moved{apps / "Tarvic.app"}));
  EXPECT_EQ(Settling::version(apps / "Tarvic.app"), "2.0");
  EXPECT_EQ(Settling::identity(apps / "Tarvic.app"), "com.quendrel.manager");
  EXPECT_TRUE(valid(apps / "Tarvic.app"));
  EXPECT_EQ(namesIn(apps), std::vector<std::string>{"Tarvic.app"});

  // A copy that runs but that the test lets through is swapped under the running process,
  // which carries on from the old files until it quits.
  makeApp(apps / "Quendrel.app", {"com.quendrel.manager", "1.5", "1"}, &key);
  Running busy(apps / "Quendrel.app", politeArguments());
  EXPECT_EQ(Settling::move(source, apps / "Quendrel.app", never),
            Settling::Outcome(Settling::Moved{apps / "Quendrel.app"}));
  EXPECT_EQ(Settling::version(apps / "Quendrel.app"), "2.0");
  EXPECT_FALSE(busy.ended());
  EXPECT_EQ(namesIn(apps), (std::vector<std::string>{"Quendrel.app", "Tarvic.app"}));
}

TEST(Moving, WhatIsNotACopyOfOursIsLeftAlone) {
  Home home;
  Key key = makeKey(home.path());
  const fs::path source = home / "Downloads/Quendrel.app";
  makeApp(source, {}, &key);
  const fs::path apps = home / "Applications";

  makeApp(apps / "Quendrel.app", {"org.example.other"}, nullptr);
  EXPECT_EQ(Settling::move(source, apps / "Quendrel.app", never),
            Settling::Outcome(Settling::Foreign{}));
  fs::remove_all(apps / "Quendrel.app");
  fs::create_directories(apps / "Quendrel.app/Contents");
  EXPECT_EQ(Settling::move(source, apps / "Quendrel.app", never),
            Settling::Outcome(Settling::Foreign{}));
  fs::remove_all(apps / "Quendrel.app");
  write(apps / "Quendrel.app", "a file");
  EXPECT_EQ(Settling::move(source, apps / "Quendrel.app", never),
            Settling::Outcome(Settling::Foreign{}));
  fs::remove(apps / "Quendrel.app");
  fs::create_symlink("nowhere", apps / "Quendrel.app");
  EXPECT_EQ(Settling::move(source, apps / "Quendrel.app", never),
            Settling::Outcome(Settling::Foreign{}))
      << "a dangling link is something too";
  EXPECT_EQ(namesIn(apps), std::vector<std::string>{"Quendrel.app"});
  fs::remove(apps / "Quendrel.app");

  // Something without an identity can never replace anything.
  makeApp(apps / "Quendrel.app", {}, &key);
  fs::remove(source / "Contents/Info.plist");
  EXPECT_EQ(Settling::move(source, apps / "Quendrel.app", never),
            Settling::Outcome(Settling::Foreign{}));

  // The same identifier replaces, even one that is not ours.
  Key other = makeKey(home.path(), "other");
  makeApp(home / "Tool.app", {"org.example.tool", "2"}, &other);
  makeApp(apps / "Tool.app", {"org.example.tool", "1"}, nullptr);
  EXPECT_EQ(Settling::move(home / "Tool.app", apps / "Tool.app", never),
            Settling::Outcome(Settling::Moved{apps / "Tool.app"}));
  EXPECT_EQ(Settling::version(apps / "Tool.app"), "2");
}

TEST(Moving, UnsignedAndTamperedCopiesAreNeverPutInPlace) {
  Home home;
  Key key = makeKey(home.path());
  const fs::path apps = home / "Applications";
  const Settling::Outcome refused =
      Settling::Failed{"The copy did not match the original exactly, so it has been removed."};

  makeApp(home / "Unsigned.app", {}, nullptr);
  EXPECT_EQ(Settling::move(home / "Unsigned.app", apps / "Quendrel.app", never), refused);
  EXPECT_EQ(namesIn(apps), std::vector<std::string>{}) << "only the folder stays";

  makeApp(home / "Tampered.app", {}, &key);
  write(home / "Tampered.app/Contents/Resources/payload/setup.sh", "#!/bin/bash\nrm -rf ~\n", 0755);
  makeApp(apps / "Quendrel.app", {"com.quendrel.manager", "0.1"}, &key);
  EXPECT_EQ(Settling::move(home / "Tampered.app", apps / "Quendrel.app", never), refused);
  EXPECT_EQ(namesIn(apps), std::vector<std::string>{"Quendrel.app"});
  EXPECT_EQ(Settling::version(apps / "Quendrel.app"), "0.1") << "the old copy is untouched";
}

TEST(Moving, SomethingThatAppearsAtTheTargetMeanwhileIsNeverReplaced) {
  Home home;
  Key key = makeKey(home.path());
  const fs::path source = home / "Downloads/Quendrel.app";
  makeApp(source, {}, &key);
  // Enough to copy and check that the temporary copy is seen long before it is renamed.
  write(source / "Contents/Resources/payload/big.bin", std::string(48 << 20, 'q'));
  sign(source, key);
  const fs::path apps = home / "Applications";
  fs::create_directories(apps);

  // As soon as the hidden copy appears, somebody else puts a folder at the target.
  int watch = inotify_init1(IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(inotify_add_watch(watch, apps.c_str(), IN_CREATE), 0);
  std::thread intruder([&] {
    alignas(inotify_event) char buffer[4096];
    for (;;) {
      ssize_t n = ::read(watch, buffer, sizeof buffer);
      if (n <= 0) return;
      for (char* at = buffer; at < buffer + n;) {
        auto* event = reinterpret_cast<inotify_event*>(at);
        if (event->len && std::string(event->name).rfind(".Quendrel.app.", 0) == 0) {
          fs::create_directory(apps / "Quendrel.app");
          write(apps / "Quendrel.app/mine.txt", "someone else's");
          return;
        }
        at += sizeof(inotify_event) + event->len;
      }
    }
  });
  auto outcome = Settling::move(source, apps / "Quendrel.app", never);
  intruder.join();
  close(watch);

  EXPECT_EQ(outcome,
            Settling::Outcome(Settling::Failed{"It could not be put in place (File exists)."}));
  EXPECT_EQ(read(apps / "Quendrel.app/mine.txt"), "someone else's");
  EXPECT_EQ(namesIn(apps), std::vector<std::string>{"Quendrel.app"}) << "the copy was removed";
}

TEST(Moving, FailuresToMakeTheFolderOrCopyAreReportedAndCleanedUp) {
  REQUIRE_SANDBOX();
  Home home;
  Key key = makeKey(home.path());
  const fs::path source = home / "Downloads/Quendrel.app";
  makeApp(source, {}, &key);

  write(home / "NotAFolder", "");
  EXPECT_EQ(Settling::move(source, home / "NotAFolder/Applications/Quendrel.app", never),
            Settling::Outcome(
                Settling::Failed{"Its Applications folder could not be made (Not a directory)."}));

  // A person who may not read part of the source: the copy stops and is removed.
  fs::create_directories(home / "Shared/Applications");
  fs::permissions(home / "Shared", fs::perms::all);
  giveToNobody(home / "Shared");
  fs::permissions(source / "Contents/Resources/payload/presets/README", fs::perms::owner_read);
  EXPECT_TRUE(asNobody(home.path(), [&] {
    return Settling::move(source, home / "Shared/Applications/Quendrel.app", never) ==
           Settling::Outcome(Settling::Failed{"It could not be copied there (Permission denied)."});
  }));
  EXPECT_EQ(namesIn(home / "Shared/Applications"), std::vector<std::string>{});
}

TEST(Moving, StaleTemporaryCopiesAreRemovedAndFreshOnesKept) {
  Home home;
  const fs::path apps = home / "Applications";
  const std::string uuid = "0F1E2D3C-4B5A-4978-8695-A4B3C2D1E0F9";
  makeApp(apps / (".Quendrel.app." + uuid), {}, nullptr);
  fs::permissions(apps / (".Quendrel.app." + uuid + "/Contents"),
                  fs::perms::owner_read | fs::perms::owner_exec);
  write(apps / ".Quendrel.app.not-a-uuid", "");
  write(apps / ".Quendrel.app.0f1e2d3c-4b5a-4978-8695-a4b3c2d1e0f9", "");
  makeApp(apps / "Quendrel.app", {}, nullptr);

  const auto now = std::chrono::system_clock::now();
  Settling::removeStaleCopies(apps, now);
  EXPECT_EQ(namesIn(apps).size(), 4u) << "made just now: another move may be making it";
  Settling::removeStaleCopies(apps, now + std::chrono::minutes(59));
  EXPECT_EQ(namesIn(apps).size(), 4u);
  Settling::removeStaleCopies(apps, now + std::chrono::minutes(61));
  EXPECT_EQ(namesIn(apps),
            (std::vector<std::string>{".Quendrel.app.0f1e2d3c-4b5a-4978-8695-a4b3c2d1e0f9",
                                      ".Quendrel.app.not-a-uuid", "Quendrel.app"}));

  // A move leaves a fresh temporary copy of someone else's move, which holds the folder,
  // alone; once nobody holds it, the next move clears it at any age.
  Key key = makeKey(home.path());
  makeApp(home / "Downloads/Quendrel.app", {"com.quendrel.manager", "2.0"}, &key);
  makeApp(apps / (".Quendrel.app." + uuid), {}, nullptr);
  {
    Platform::FolderLock elsewhere(apps);
    ASSERT_TRUE(elsewhere.held());
    EXPECT_EQ(Settling::move(home / "Downloads/Quendrel.app", apps / "Quendrel.app", never),
              Settling::Outcome(Settling::Moved{apps / "Quendrel.app"}));
    EXPECT_TRUE(fs::exists(apps / (".Quendrel.app." + uuid)));
  }
  EXPECT_EQ(Settling::move(home / "Downloads/Quendrel.app", apps / "Quendrel.app", never),
            Settling::Outcome(Settling::Moved{apps / "Quendrel.app"}));
  EXPECT_FALSE(fs::exists(apps / (".Quendrel.app." + uuid)));
}

TEST(Discarding, ReadOnlyFoldersInsideAreRemovedToo) {
  REQUIRE_SANDBOX();
  Home home;
  const fs::path copy = home / "Shared/.Quendrel.app.copy";
  makeApp(copy, {}, nullptr);
  fs::create_directories(copy / "Contents/Locked/Inner");
  write(copy / "Contents/Locked/Inner/file", "x", 0444);
  fs::create_directories(copy / "Contents/Closed");
  write(copy / "Contents/Closed/file", "x");
  giveToNobody(home / "Shared");
  fs::permissions(home / "Shared", fs::perms::all);
  fs::permissions(copy / "Contents/Locked/Inner", fs::perms::owner_read | fs::perms::owner_exec);
  fs::permissions(copy / "Contents/Locked", fs::perms::owner_read | fs::perms::owner_exec);
  fs::permissions(copy / "Contents/Closed", fs::perms::none);

  EXPECT_TRUE(asNobody(home.path(), [&] {
    Settling::discard(copy);
    return !Platform::lookAt(copy);
  }));
  EXPECT_FALSE(fs::exists(copy));
  Settling::discard(home / "never existed");
}

TEST(Unquarantining, TheOwnerLendsItselfWritePermissionAndGivesItBack) {
  REQUIRE_SANDBOX();
  Home home;
  const fs::path copy = home / "Shared/Quendrel.app";
  makeApp(copy, {}, nullptr);
  const fs::path program = copy / "Contents/MacOS/Quendrel";
  const fs::path locked = copy / "Contents/Resources/payload/presets/README";
  for (const fs::path& item : {copy, program, locked, copy / "Contents/Resources/payload"}) {
    ASSERT_EQ(Platform::Attributes::set(item, Platform::Attributes::quarantine, "0081"), 0);
  }
  giveToNobody(home / "Shared");
  fs::permissions(home / "Shared", fs::perms::all);
  fs::permissions(program, static_cast<fs::perms>(06555));
  fs::permissions(locked, fs::perms::owner_read);
  fs::permissions(copy / "Contents/Resources/payload",
                  fs::perms::owner_read | fs::perms::owner_exec);

  EXPECT_TRUE(asNobody(home.path(), [&] { return Settling::unquarantine(copy); }));
  for (const fs::path& item : {copy, program, locked, copy / "Contents/Resources/payload"}) {
    EXPECT_FALSE(Platform::Attributes::has(item, Platform::Attributes::quarantine)) << item;
  }
  EXPECT_EQ(Platform::lookAt(locked)->mode, 0400u) << "the mode is given back";
  EXPECT_EQ(Platform::lookAt(copy / "Contents/Resources/payload")->mode, 0500u);
  EXPECT_EQ(Platform::lookAt(copy / "Contents/Resources/setup")->kind, Platform::ItemKind::link);
  EXPECT_EQ(Platform::lookAt(copy / "Contents/Resources/payload/setup.sh")->mode, 0755u)
      << "a link's target is never touched through the link";
}

TEST(Unquarantining, WhatCannotBeClearedMakesItFalse) {
  REQUIRE_SANDBOX();
  Home home;
  const fs::path copy = home / "Quendrel.app";
  makeApp(copy, {}, nullptr);
  ASSERT_EQ(Platform::Attributes::set(copy / "Contents/Info.plist",
                                      Platform::Attributes::quarantine, "0081"),
            0);
  ASSERT_EQ(Platform::Attributes::set(copy / "Contents/MacOS/Quendrel",
                                      Platform::Attributes::quarantine, "0081"),
            0);
  // On a read-only volume nobody can remove anything, root included.
  ASSERT_TRUE(makeReadOnly(copy / "Contents/MacOS"));
  EXPECT_FALSE(Settling::unquarantine(copy));
  EXPECT_FALSE(
      Platform::Attributes::has(copy / "Contents/Info.plist", Platform::Attributes::quarantine))
      << "the rest is cleared all the same";
  EXPECT_TRUE(Platform::Attributes::has(copy / "Contents/MacOS/Quendrel",
                                        Platform::Attributes::quarantine));
  EXPECT_TRUE(Settling::unquarantine(copy / "Contents/Resources"));
  EXPECT_TRUE(Settling::unquarantine(home / "nothing here")) << "nothing carries it";
}
