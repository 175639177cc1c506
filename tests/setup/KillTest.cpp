// Setup runs killed with SIGKILL at exact steps — every marker written, every folder made,
// every file created (but not yet filled), every item moved or removed — and run again.
// Whatever the step, the user's kept items survive, the marker never says the run is done
// when it is not, and the next run finishes the job.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <iostream>
#include <optional>
#include <set>

#include "SetupFixture.h"

using namespace setup_testing;
using testing_support::read;
using testing_support::write;

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif

constexpr const char* done = "Done. This Mac is connected and its desk is running.\n";

// Each computer is a home folder of its own; the next one must not be made inside the
// temporary folder of the one before, which is gone.
const std::string originalTemporary = [] {
  const char* t = std::getenv("TMPDIR");
  return std::string(t ? t : "");
}();

void restoreTemporary() {
  if (originalTemporary.empty()) {
    unsetenv("TMPDIR");
  } else {
    setenv("TMPDIR", originalTemporary.c_str(), 1);
  }
}

struct Scene {
  std::optional<Computer> computer;
  Tree kept;       // the user's kept items before the run
  Tree installed;  // the whole installation before the run
  bool existing = false;

  fs::path root() const { return computer->home.path().parent_path(); }
  fs::path desk() const { return computer->desk(); }
  fs::path aside() const { return desk().parent_path() / "Desk-previous"; }

  explicit Scene(bool withInstallation) : existing(withInstallation) {
    restoreTemporary();
    computer.emplace();
    if (existing) {
      writeInstallation(desk(), "mine");
      write(aside() / "older", "an older aside\n");
      kept = keptItems(desk());
      installed = snapshot(desk());
    }
  }

  // The word the marker holds, or "(none)".
  std::string markerWord() const {
    if (!fs::exists(computer->marker())) return "(none)";
    std::string word = read(computer->marker());
    return word.substr(0, word.find('\n'));
  }

  // A setup through quendrelctl, killed after the `at`th change under the root (0: never).
  Ran setUp(long at, const fs::path& log = {}) {
    std::vector<std::pair<std::string, std::string>> environment{
        {"LD_PRELOAD", KILLPOINT},
        {"KILLPOINT_UNDER", root().string()},
        {"KILLPOINT_AT", std::to_string(at)}};
    if (!log.empty()) environment.emplace_back("KILLPOINT_LOG", log.string());
    return runProgram(computer->ctl(), {"setup", "123456", "--terms", "2025-04"}, environment);
  }

  // What must hold however the run was cut short.
  void checkAfterKill(const std::string& where) {
    SCOPED_TRACE("killed after " + where);
    std::string missing;
    if (existing) {
      EXPECT_TRUE(contains(keptItems(desk()), kept) || contains(keptItems(aside()), kept))
          << "the user's kept items are whole in the installation or its aside";
    }
    if (!fs::exists(computer->marker())) {
      bool untouched =
          existing ? difference(snapshot(desk()), installed).empty() : !fs::exists(desk());
      bool finished = fs::exists(desk() / "agent-installed") &&
                      (!existing || contains(keptItems(desk()), kept));
      EXPECT_TRUE(untouched || finished) << "no marker, so the run must have done nothing or all";
    }
    for (auto& entry : fs::directory_iterator(root() / "tmp")) {
      if (entry.path().filename().string().rfind("quendrel-keep-", 0) != 0) continue;
      struct stat s;
      ASSERT_EQ(lstat(entry.path().c_str(), &s), 0);
      EXPECT_EQ(s.st_mode & 07777, 0700u) << "a keep folder left behind stays private";
      EXPECT_EQ(s.st_uid, getuid());
    }
  }

  // A run to the end, and what it must leave.
  void checkFinished(const Ran& ran) {
    EXPECT_EQ(ran.status, 0) << ran.err;
    EXPECT_EQ(ran.out, done);
    std::string differs;
    if (existing) {
      EXPECT_TRUE(contains(keptItems(desk()), kept, &differs)) << differs;
    }
    EXPECT_EQ(read(desk() / "VERSION"), "3.1.4 (payload)\n");
    EXPECT_EQ(read(desk() / "agent-installed"), "installed\n");
    EXPECT_TRUE(fs::exists(desk() / "Quendrel.app/Contents/Info.plist"));
    EXPECT_FALSE(fs::exists(computer->marker()));
    EXPECT_EQ(read(desk() / "data/installed-by-app"), computer->app.string() + "\n");
  }
};

// The counted steps of an uninterrupted run: "call path" lines, relative to the root.
std::vector<std::string> steps(bool withInstallation) {
  Scene scene(withInstallation);
  fs::path log = scene.root() / "steps.log";
  Ran ran = scene.setUp(0, log);
  EXPECT_EQ(ran.status, 0) << ran.err;
  std::vector<std::string> lines;
  std::string all = read(log);
  std::string root = scene.root().string() + "/";
  for (size_t start = 0; start < all.size();) {
    size_t end = all.find('\n', start);
    std::string line = all.substr(start, end - start);
    line = line.substr(line.find(' ') + 1);  // drop the counter
    if (auto at = line.find(root); at != std::string::npos) line.erase(at, root.size());
    lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

// Every step that writes the marker or moves or removes something, and every `every`th of
// the rest: the copies are cut short at files in the middle of their trees.
std::vector<long> chosen(const std::vector<std::string>& lines, size_t every) {
  std::vector<long> points;
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string& l = lines[i];
    bool marker = l.find(".tarvic-setting-up") != std::string::npos;
    bool moves = l.rfind("rename", 0) == 0;
    bool keepFolder = l.rfind("mkdir", 0) == 0 && l.find("quendrel-keep-") != std::string::npos;
    if (marker || moves || keepFolder || i % every == 0) points.push_back(static_cast<long>(i + 1));
  }
  return points;
}

// Failures recorded so far in the running test.
int failures() {
  return ::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count();
}

void report(const std::string& name, int tried, int recovered, const std::set<std::string>& words) {
  std::string seen;
  for (const auto& w : words) seen += (seen.empty() ? "" : ", ") + w;
  std::cout << "[ kills    ] " << name << ": " << tried << " tried, " << recovered
            << " recovered; markers left: " << seen << std::endl;
}

}  // namespace

TEST(CutShort, OverAnInstallationAtEveryMarkerStepAndInsideEachCopy) {
  if (sanitized) GTEST_SKIP() << "the preloaded library cannot go before a sanitizer's runtime";
  const auto lines = steps(true);
  ASSERT_GT(lines.size(), 40u);
  int tried = 0, recovered = 0;
  std::set<std::string> words;
  for (long at : chosen(lines, 3)) {
    const std::string where = std::to_string(at) + ": " + lines[at - 1];
    const int before = failures();
    Scene scene(true);
    Ran killed = scene.setUp(at);
    ++tried;
    EXPECT_EQ(killed.status, 128 + 9) << where;
    words.insert(scene.markerWord());
    scene.checkAfterKill(where);
    Ran again = scene.setUp(0);
    SCOPED_TRACE("run again after " + where);
    scene.checkFinished(again);
    if (failures() == before) ++recovered;
  }
  report("over an installation", tried, recovered, words);
  EXPECT_GE(tried, 20);
  EXPECT_EQ(recovered, tried);
}

TEST(CutShort, OnAFreshComputer) {
  if (sanitized) GTEST_SKIP() << "the preloaded library cannot go before a sanitizer's runtime";
  const auto lines = steps(false);
  int tried = 0, recovered = 0;
  std::set<std::string> words;
  for (long at : chosen(lines, 1)) {
    const std::string where = std::to_string(at) + ": " + lines[at - 1];
    const int before = failures();
    Scene scene(false);
    Ran killed = scene.setUp(at);
    ++tried;
    EXPECT_EQ(killed.status, 128 + 9) << where;
    words.insert(scene.markerWord());
    scene.checkAfterKill(where);
    Ran again = scene.setUp(0);
    SCOPED_TRACE("run again after " + where);
    scene.checkFinished(again);
    if (failures() == before) ++recovered;
  }
  report("on a fresh computer", tried, recovered, words);
  EXPECT_GE(tried, 20);
  EXPECT_EQ(recovered, tried);
}

TEST(CutShort, TwiceInARowThenToTheEnd) {
  if (sanitized) GTEST_SKIP() << "the preloaded library cannot go before a sanitizer's runtime";
  const auto lines = steps(true);
  const auto points = chosen(lines, 7);
  int tried = 0, recovered = 0;
  std::set<std::string> words;
  for (size_t i = 0; i < points.size(); i += 2) {
    const long first = points[i];
    // The run that repairs is cut short too, at a step of its own.
    const long second = points[(i * 5 + 3) % points.size()];
    const std::string where = std::to_string(first) + " then " + std::to_string(second);
    const int before = failures();
    Scene scene(true);
    scene.setUp(first);
    scene.checkAfterKill("the first run's step " + where);
    Ran killed = scene.setUp(second);
    tried += 2;
    words.insert(scene.markerWord());
    scene.checkAfterKill("the second run's step " + where);
    Ran again = scene.setUp(0);
    SCOPED_TRACE("run again after " + where + (killed.status == 0 ? " (second ran through)" : ""));
    scene.checkFinished(again);
    if (failures() == before) recovered += 2;
  }
  report("twice in a row", tried, recovered, words);
  EXPECT_EQ(recovered, tried);
}
