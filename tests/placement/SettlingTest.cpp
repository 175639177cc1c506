// Identities, destinations, descriptions, installed copies, renaming and moving copies into place.
#include <sys/inotify.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <thread>

#include "placement/Applications.h"
#include "placement/Identity.h"
#include "placement/Moving.h"
#include "platform/Attributes.h"
#include "platform/Items.h"
#include "platform/Lock.h"
#include "support/Copies.h"
#include "support/Home.h"
#include "support/Sandbox.h"

using namespace placement_testing;
using testing_support::Home;
using testing_support::inSandbox;
using testing_support::makeBundle;
using testing_support::makeReadOnly;
using testing_support::namesIn;
using testing_support::read;
using testing_support::write;
namespace fs = std::filesystem;
namespace attributes = Platform::Attributes;
using Outcome = Settling::Outcome;

namespace {

const Settling::Test always = [](const fs::path&) { return true; };
const Settling::Test never = [](const fs::path&) { return false; };

using Names = std::vector<std::string>;

// An Info.plist in the binary format: the earlier product's identity, 1.10, build 7.
const std::string binaryPlist(
    "\x62\x70\x6c\x69\x73\x74\x30\x30\xd3\x01\x02\x03\x04\x05\x06\x5f\x10\x12\x43\x46\x42\x75\x6e"
    "\x64\x6c\x65\x49\x64\x65\x6e\x74\x69\x66\x69\x65\x72\x5f\x10\x1a\x43\x46\x42\x75\x6e\x64\x6c"
    "\x65\x53\x68\x6f\x72\x74\x56\x65\x72\x73\x69\x6f\x6e\x53\x74\x72\x69\x6e\x67\x5f\x10\x0f\x43"
    "\x46\x42\x75\x6e\x64\x6c\x65\x56\x65\x72\x73\x69\x6f\x6e\x5f\x10\x15\x63\x6f\x6d\x2e\x74\x61"
    "\x72\x76\x69\x63\x6f\x6e\x65\x2e\x6d\x61\x6e\x61\x67\x65\x72\x54\x31\x2e\x31\x30\x51\x37\x08"
    "\x0f\x24\x41\x53\x6b\x70\x00\x00\x00\x00\x00\x00\x01\x01\x00\x00\x00\x00\x00\x00\x00\x07\x00"
    "\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x72",
    153);

// A home with a signed copy in Downloads and an Applications folder to move it to.
class Moving : public ::testing::Test {
 protected:
  void SetUp() override { makeApp(source, {.version = "2.0"}, &key); }
  Outcome moveTo(const fs::path& to, const Settling::Test& running = never) {
    return Settling::move(source, to, running);
  }
  Home home;
  Key key = makeKey(home / "key");
  const fs::path source = home / "Downloads/Quendrel.app";
  const fs::path apps = home / "Applications";
  const fs::path target = apps / "Quendrel.app";
};

class Sandboxed : public Moving {
 protected:
  void SetUp() override {
    if (!inSandbox()) GTEST_SKIP() << "needs the private root (root and unshare)";
    Moving::SetUp();
  }
};

}  // namespace

TEST(Identity, ReadFromXmlAndBinaryInfoFiles) {
  Home home;
  makeBundle(home / "Quendrel.app", "com.quendrel.manager", "1.9", "12");
  EXPECT_EQ(Settling::identity(home / "Quendrel.app"), "com.quendrel.manager");
  EXPECT_TRUE(Settling::isOurs(home / "Quendrel.app"));
  EXPECT_EQ(Settling::version(home / "Quendrel.app"), "1.9");
  EXPECT_EQ(Settling::build(home / "Quendrel.app"), "12");

  write(home / "Old.app/Contents/Info.plist", binaryPlist);
  EXPECT_EQ(Settling::identity(home / "Old.app"), "com.tarvicone.manager");
  EXPECT_TRUE(Settling::isOurs(home / "Old.app")) << "the earlier product's identity is ours";
  EXPECT_EQ(Settling::version(home / "Old.app"), "1.10");
  EXPECT_EQ(Settling::build(home / "Old.app"), "7");

  makeBundle(home / "Quendrel2.app", "org.example.other", "5");
  EXPECT_FALSE(Settling::isOurs(home / "Quendrel2.app")) << "the name does not make it ours";
}

TEST(Identity, UnreadableInfoFilesGiveNothing) {
  Home home;
  const char* bodies[] = {
      nullptr,  // no Info.plist at all
      "",
      "<?xml version=\"1.0\"?><plist><array><string>x</string></array></plist>",
      "<?xml version=\"1.0\"?><plist><dict><key>CFBundleIdentifier</key>",
      "<?xml version=\"1.0\"?><plist><dict><key>CFBundleIdentifier</key><integer>3</integer>"
      "<key>CFBundleShortVersionString</key><real>1.5</real></dict></plist>",
      "bplist00\xff\xff\xff garbage",
  };
  for (const char* body : bodies) {
    const auto app = home / "Broken.app";
    fs::remove_all(app);
    if (body) write(app / "Contents/Info.plist", body);
    EXPECT_FALSE(Settling::identity(app)) << body;
    EXPECT_FALSE(Settling::isOurs(app));
    EXPECT_EQ(Settling::version(app), "");
    EXPECT_EQ(Settling::build(app), "");
  }
}

TEST(Identity, PairOrderOfVersionAndBuild) {
  using P = Settling::Pair;
  const std::tuple<P, P, bool> cases[] = {
      {{"1.10", "1"}, {"1.9", "7"}, true},   {{"1.2", "5"}, {"1.2.0", "5"}, false},
      {{"1.2.0", "5"}, {"1.2", "5"}, false}, {{"1.2", "10"}, {"1.2.0", "9"}, true},
      {{"", ""}, {"", ""}, false},           {{"1", ""}, {"", "99"}, true},
      {{"0", "2"}, {"", "1"}, true},  // version 0 equals no version
      {{"", "1"}, {"0", "2"}, false},
  };
  for (const auto& [a, b, newer] : cases) {
    EXPECT_EQ(Settling::newer(a, b), newer) << a.first << "/" << a.second;
  }
}

TEST(Placing, DestinationIsTheFirstWritableFolderUnlessAlreadyPlaced) {
  Home home;
  const fs::path a = home / "A", b = home / "B", downloaded = home / "Downloads/Quendrel.app";
  fs::create_directories(a / "Tools");
  fs::create_directories(b);
  fs::create_directory_symlink(a, home / "Link");
  const Settling::Test onlyB = [&](const fs::path& f) { return f == b; };
  const struct {
    fs::path bundle;
    Settling::Folders folders;
    Settling::Test writable;
    std::optional<fs::path> expected;
  } cases[] = {
      {downloaded, {a, b}, Settling::canWrite, a / "Quendrel.app"},
      {downloaded, {a, b}, onlyB, b / "Quendrel.app"},
      {home / "Downloads/Other Name.app/", {a, b}, onlyB, b / "Quendrel.app"},  // current name
      {downloaded, {a, b}, never, std::nullopt},
      {downloaded, {}, always, std::nullopt},
      {home / "Downloads/quendrel", {a, b}, always, std::nullopt},
      {home / "Downloads/Quendrel.APP", {a, b}, always, std::nullopt},
      {a / "Tools/Quendrel.app", {a, b}, always, std::nullopt},  // at any depth
      {b / "Tarvic.app", {a, b}, always, std::nullopt},
      {home / "A2/Quendrel.app", {a, b}, always, a / "Quendrel.app"},  // beside, not inside
      {home / "Link/Quendrel.app", {a, b}, always, std::nullopt},      // inside through a link
      {a / "Quendrel.app", {home / "Link"}, always, std::nullopt},     // the folders' links too
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Settling::destination(c.bundle, c.folders, c.writable), c.expected) << c.bundle;
  }
}

TEST(Placing, DescribeSaysWhereTheCopyIs) {
  Home home;
  const std::pair<fs::path, std::string> cases[] = {
      {home / "Downloads/Quendrel.app", "your Downloads folder"},
      {home / "Downloads/nested/deeper/Quendrel.app", "your Downloads folder"},
      {home / "Downloads", "“home”"},
      {home / "Downloads Old/Quendrel.app", "“Downloads Old”"},
      {home / "Desktop/Quendrel.app/", "“Desktop”"},
      {"/private/var/folders/xy/AppTranslocation/ABC/d/Quendrel.app", "where it was downloaded"},
      {home / "Downloads/AppTranslocation/Quendrel.app", "where it was downloaded"},
      {"/Quendrel.app", "“/”"},
  };
  for (const auto& [bundle, said] : cases) EXPECT_EQ(Settling::describe(bundle), said) << bundle;
}

TEST(Placing, InstalledCopyIsTheNewestOfOursUnderEitherName) {
  Home home;
  const fs::path a = home / "A", b = home / "B";
  EXPECT_FALSE(Settling::installedCopy({a, b}));
  // Each step lays one bundle down; the installed copy is then the expected one.
  const struct {
    fs::path bundle;
    App app;
    fs::path expected;
  } steps[] = {
      {b / "Quendrel.app", {}, b / "Quendrel.app"},
      {a / "Quendrel.app", {}, a / "Quendrel.app"},                       // earlier folder
      {a / "Tarvic.app", {"com.tarvicone.manager"}, a / "Quendrel.app"},  // current name
      {a / "Tarvic.app", {"com.tarvicone.manager", "1.0.0", "2"}, a / "Tarvic.app"},  // build
      {b / "Quendrel.app", {.version = "1.1"}, b / "Quendrel.app"},
      {b / "Quendrel.app", {"org.example.other", "9.0"}, a / "Tarvic.app"},  // not ours
      {a / "Sub/Quendrel.app", {.version = "9.0"}, a / "Tarvic.app"},        // not directly in
      {a / "Quendrel 2.app", {.version = "9.0"}, a / "Tarvic.app"},          // another name
  };
  for (const auto& step : steps) {
    makeApp(step.bundle, step.app, nullptr);
    EXPECT_EQ(Settling::installedCopy({a, b}), step.expected) << step.bundle;
  }
}

TEST(Placing, OnlyACopyOfOursUnderTheEarlierNameIsRenamed) {
  Home home;
  const fs::path apps = home / "Applications", elsewhere = home / "Elsewhere";
  const Settling::Folders folders{"/nowhere", apps};
  makeApp(apps / "Tarvic.app", {"com.tarvicone.manager"}, nullptr);
  makeApp(apps / "Sub/Tarvic.app", {"com.tarvicone.manager"}, nullptr);
  makeApp(elsewhere / "Tarvic.app", {"org.example.other"}, nullptr);
  makeApp(elsewhere / "Other.app", {}, nullptr);
  EXPECT_FALSE(Settling::renamedToCurrent(apps / "Tarvic.app", {"/nowhere"}));
  EXPECT_FALSE(Settling::renamedToCurrent(apps / "Sub/Tarvic.app", folders));
  EXPECT_FALSE(Settling::renamedToCurrent(elsewhere / "Tarvic.app", {elsewhere})) << "not ours";
  EXPECT_FALSE(Settling::renamedToCurrent(elsewhere / "Other.app", {elsewhere}));
  fs::create_symlink("nowhere", apps / "Quendrel.app");
  EXPECT_FALSE(Settling::renamedToCurrent(apps / "Tarvic.app", folders)) << "even a dangling link";
  fs::remove(apps / "Quendrel.app");

  EXPECT_EQ(Settling::renamedToCurrent(apps / "Tarvic.app", folders), apps / "Quendrel.app");
  EXPECT_TRUE(Settling::isOurs(apps / "Quendrel.app"));
  EXPECT_FALSE(fs::exists(apps / "Tarvic.app"));
  EXPECT_FALSE(Settling::renamedToCurrent(apps / "Quendrel.app", folders)) << "already current";
}

TEST_F(Moving, AFreshCopyLandsSignedClearedAndAlone) {
  ASSERT_EQ(attributes::set(source / "Contents/MacOS/Quendrel", attributes::quarantine, "0081"), 0);
  ASSERT_EQ(attributes::set(source, attributes::quarantine, "0081"), 0);
  fs::create_directory_symlink(home / "Downloads", home / "Shortcut");
  const fs::path nested = home / "Apps/Nested/Quendrel.app";
  EXPECT_EQ(Settling::move(home / "Shortcut/Quendrel.app", nested, always),
            Outcome(Settling::Moved{nested}))
      << "the running test is asked only when replacing";
  EXPECT_TRUE(Settling::intact(nested, source));
  const fs::path readme = "Contents/Resources/payload/presets/README";
  EXPECT_EQ(fs::symlink_status(nested / "Contents/Resources/setup").type(), fs::file_type::symlink);
  EXPECT_FALSE(attributes::has(nested, attributes::quarantine));
  EXPECT_FALSE(attributes::has(nested / "Contents/MacOS/Quendrel", attributes::quarantine));
  EXPECT_TRUE(attributes::has(nested / readme, "user.quendrel.note"));
  EXPECT_EQ(fs::last_write_time(nested / readme), fs::last_write_time(source / readme));
  EXPECT_TRUE(attributes::has(source, attributes::quarantine)) << "the source is never changed";
  EXPECT_EQ(namesIn(nested.parent_path()), Names{"Quendrel.app"});
}

TEST_F(Moving, WhatIsAtTheTargetDecides) {
  const Outcome moved = Settling::Moved{target}, foreign = Settling::Foreign{};
  const Outcome refused =
      Settling::Failed{"The copy did not match the original exactly, so it has been removed."};
  const auto copyOfOurs = [&] { makeApp(target, {"com.tarvicone.manager", "1.0"}, &key); };
  const struct {
    const char* what;
    std::function<void()> put;
    Settling::Test running;
    Outcome outcome;
    std::string versionAfter;
  } cases[] = {
      {"an older copy of ours", copyOfOurs, never, moved, "2.0"},
      {"a copy of ours that runs", copyOfOurs, always, Settling::Running{}, "1.0"},
      {"another's bundle",
       [&] {
         makeApp(target, {"org.example.other", "1.0"}, nullptr);
       },
       never, foreign, "1.0"},
      {"an empty bundle", [&] { fs::create_directories(target / "Contents"); }, never, foreign, ""},
      {"a file", [&] { write(target, "a file"); }, never, foreign, ""},
      {"a dangling link", [&] { fs::create_symlink("nowhere", target); }, never, foreign, ""},
      {"a source without identity",
       [&] {
         copyOfOurs();
         fs::rename(source / "Contents/Info.plist", home / "Info.plist");
       },
       never, foreign, "1.0"},
      {"a tampered source",
       [&] {
         copyOfOurs();
         write(source / "Contents/Resources/payload/setup.sh", "#!/bin/bash\nrm -rf ~\n", 0755);
       },
       never, refused, "1.0"},
  };
  for (const auto& c : cases) {
    fs::remove_all(apps);
    fs::create_directories(apps);
    makeApp(source, {.version = "2.0"}, &key);
    c.put();
    EXPECT_EQ(moveTo(target, c.running), c.outcome) << c.what;
    EXPECT_EQ(Settling::version(target), c.versionAfter) << c.what;
    EXPECT_EQ(namesIn(apps), Names{"Quendrel.app"}) << c.what << ": nothing left beside it";
  }
  EXPECT_TRUE(valid(target));

  // The same identifier replaces, even one that is not ours.
  makeApp(home / "Tool.app", {"org.example.tool", "2"}, &key);
  makeApp(apps / "Tool.app", {"org.example.tool", "1"}, nullptr);
  EXPECT_EQ(Settling::move(home / "Tool.app", apps / "Tool.app", never),
            Outcome(Settling::Moved{apps / "Tool.app"}));
  EXPECT_EQ(Settling::version(apps / "Tool.app"), "2");
}

TEST_F(Moving, ARunningCopyIsSeenAndSwappedOnlyWhenLetThrough) {
  makeApp(target, {.version = "1.5"}, &key);
  Running busy(programOf(target), polite);
  EXPECT_TRUE(Settling::isRunning(target));
  EXPECT_EQ(moveTo(target, Settling::isRunning), Outcome(Settling::Running{}));
  // Let through, it is swapped under the running process, which carries on from the old files.
  EXPECT_EQ(moveTo(target), Outcome(Settling::Moved{target}));
  EXPECT_EQ(Settling::version(target), "2.0");
  EXPECT_FALSE(busy.ended());
  EXPECT_EQ(namesIn(apps), Names{"Quendrel.app"});
}

TEST_F(Moving, SomethingThatAppearsAtTheTargetMeanwhileIsNeverReplaced) {
  // Enough to copy and check that the temporary copy is seen long before it is renamed.
  write(source / "Contents/Resources/payload/big.bin", std::string(48 << 20, 'q'));
  sign(source, key);
  fs::create_directories(apps);

  // As soon as the hidden copy appears, somebody else puts a folder at the target.
  int watch = inotify_init1(IN_CLOEXEC);
  ASSERT_GE(inotify_add_watch(watch, apps.c_str(), IN_CREATE), 0);
  std::thread intruder([&] {
    alignas(inotify_event) char buffer[4096];
    for (ssize_t n; (n = ::read(watch, buffer, sizeof buffer)) > 0;) {
      for (char* at = buffer; at < buffer + n;) {
        auto* event = reinterpret_cast<inotify_event*>(at);
        if (event->len && std::string(event->name).rfind(".Quendrel.app.", 0) == 0) {
          write(target / "mine.txt", "someone else's");
          return;
        }
        at += sizeof(inotify_event) + event->len;
      }
    }
  });
  auto outcome = moveTo(target);
  intruder.join();
  close(watch);
  EXPECT_EQ(outcome, Outcome(Settling::Failed{"It could not be put in place (File exists)."}));
  EXPECT_EQ(read(target / "mine.txt"), "someone else's");
  EXPECT_EQ(namesIn(apps), Names{"Quendrel.app"}) << "the copy was removed";
}

TEST_F(Moving, StaleTemporaryCopiesAreRemovedAndFreshOnesKept) {
  const std::string stale = ".Quendrel.app.0F1E2D3C-4B5A-4978-8695-A4B3C2D1E0F9";
  const std::string lower = ".Quendrel.app.0f1e2d3c-4b5a-4978-8695-a4b3c2d1e0f9";
  makeApp(apps / stale, {}, nullptr);
  fs::permissions(apps / stale / "Contents", fs::perms::owner_read | fs::perms::owner_exec);
  write(apps / ".Quendrel.app.not-a-uuid", "");
  write(apps / lower, "");
  const auto now = std::chrono::system_clock::now();
  Settling::removeStaleCopies(apps, now + std::chrono::minutes(59));
  EXPECT_EQ(namesIn(apps).size(), 3u) << "made within the hour: another move may be making it";
  Settling::removeStaleCopies(apps, now + std::chrono::minutes(61));
  EXPECT_EQ(namesIn(apps), (Names{lower, ".Quendrel.app.not-a-uuid"}));

  // A move leaves a fresh temporary copy of someone else's move, which holds the folder,
  // alone; once nobody holds it, the next move clears it at any age.
  makeApp(apps / stale, {}, nullptr);
  {
    Platform::FolderLock elsewhere(apps);
    ASSERT_TRUE(elsewhere.held());
    EXPECT_EQ(moveTo(target), Outcome(Settling::Moved{target}));
    EXPECT_TRUE(fs::exists(apps / stale));
  }
  EXPECT_EQ(moveTo(target), Outcome(Settling::Moved{target}));
  EXPECT_FALSE(fs::exists(apps / stale));
}

TEST_F(Sandboxed, CanWriteAFolderOrTheParentThatWouldHoldIt) {
  write(home / "File", "");
  EXPECT_TRUE(Settling::canWrite(home / "Missing")) << "it could be made";
  EXPECT_FALSE(Settling::canWrite(home / "File"));
  EXPECT_TRUE(Settling::canWrite("/Applications"));
  ASSERT_TRUE(makeReadOnly("/Applications"));
  EXPECT_FALSE(Settling::canWrite("/Applications"));
  EXPECT_FALSE(Settling::canWrite("/Applications/Sub"));
  EXPECT_FALSE(Settling::canWrite("/proc/1")) << "a folder of a read-only kind";

  // So the home Applications folder is made and used.
  auto to = Settling::destination(source, Settling::folders(), Settling::canWrite);
  ASSERT_EQ(to, target);
  EXPECT_EQ(moveTo(target), Outcome(Settling::Moved{target}));
  EXPECT_TRUE(valid(target));
}

TEST_F(Sandboxed, FailuresToMakeTheFolderOrCopyAreReportedAndCleanedUp) {
  write(home / "NotAFolder", "");
  EXPECT_EQ(
      moveTo(home / "NotAFolder/Applications/Quendrel.app"),
      Outcome(Settling::Failed{"Its Applications folder could not be made (Not a directory)."}));

  // A person who may not read all of the source: the copy stops and is removed.
  fs::create_directories(home / "Shared/Applications");
  fs::permissions(home / "Shared", fs::perms::all);
  giveToNobody(home / "Shared");
  EXPECT_TRUE(asNobody(home.path(), [&] {
    return moveTo(home / "Shared/Applications/Quendrel.app") ==
           Outcome(Settling::Failed{"It could not be copied there (Permission denied)."});
  }));
  EXPECT_EQ(namesIn(home / "Shared/Applications"), Names{});
}

TEST_F(Sandboxed, ReadOnlyFoldersInsideAreDiscardedToo) {
  const fs::path copy = home / "Shared/.Quendrel.app.copy";
  makeApp(copy, {}, nullptr);
  write(copy / "Contents/Locked/Inner/file", "x", 0444);
  write(copy / "Contents/Closed/file", "x");
  giveToNobody(home / "Shared");
  fs::permissions(home / "Shared", fs::perms::all);
  const auto readOnly = fs::perms::owner_read | fs::perms::owner_exec;
  fs::permissions(copy / "Contents/Locked/Inner", readOnly);
  fs::permissions(copy / "Contents/Locked", readOnly);
  fs::permissions(copy / "Contents/Closed", fs::perms::none);
  EXPECT_TRUE(asNobody(home.path(), [&] {
    Settling::discard(copy);
    return !Platform::lookAt(copy);
  }));
  Settling::discard(home / "never existed");
}

TEST_F(Sandboxed, UnquarantiningLendsTheOwnerWritePermissionAndGivesItBack) {
  const fs::path copy = home / "Shared/Quendrel.app", program = copy / "Contents/MacOS/Quendrel";
  const fs::path payload = copy / "Contents/Resources/payload", locked = payload / "presets/README";
  makeApp(copy, {}, nullptr);
  for (const fs::path& item : {copy, program, locked, payload}) {
    ASSERT_EQ(attributes::set(item, attributes::quarantine, "0081"), 0);
  }
  giveToNobody(home / "Shared");
  fs::permissions(home / "Shared", fs::perms::all);
  fs::permissions(program, static_cast<fs::perms>(06555));
  fs::permissions(locked, fs::perms::owner_read);
  fs::permissions(payload, fs::perms::owner_read | fs::perms::owner_exec);

  EXPECT_TRUE(asNobody(home.path(), [&] { return Settling::unquarantine(copy); }));
  for (const fs::path& item : {copy, program, locked, payload}) {
    EXPECT_FALSE(attributes::has(item, attributes::quarantine)) << item;
  }
  EXPECT_EQ(Platform::lookAt(locked)->mode, 0400u) << "the mode is given back";
  EXPECT_EQ(Platform::lookAt(payload)->mode, 0500u);
  EXPECT_EQ(Platform::lookAt(payload / "setup.sh")->mode, 0750u)
      << "a link's target is never touched through the link";
}

TEST_F(Sandboxed, WhatCannotBeUnquarantinedMakesItFalse) {
  const fs::path plist = source / "Contents/Info.plist",
                 program = source / "Contents/MacOS/Quendrel";
  ASSERT_EQ(attributes::set(plist, attributes::quarantine, "0081"), 0);
  ASSERT_EQ(attributes::set(program, attributes::quarantine, "0081"), 0);
  ASSERT_TRUE(makeReadOnly(source / "Contents/MacOS"));  // nobody can remove anything there
  EXPECT_FALSE(Settling::unquarantine(source));
  EXPECT_FALSE(attributes::has(plist, attributes::quarantine))
      << "the rest is cleared all the same";
  EXPECT_TRUE(attributes::has(program, attributes::quarantine));
  EXPECT_TRUE(Settling::unquarantine(source / "Contents/Resources"));
  EXPECT_TRUE(Settling::unquarantine(home / "nothing here")) << "nothing carries it";
}
