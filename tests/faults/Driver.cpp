// The fault tests run sandboxed, and the program is its own driver: one operation of
// Quendrel's own, in a process that a test can cut short at an exact step (with the killpoint
// library preloaded). It prints what the operation answered: "moved", "installed" or "staged"
// when it succeeded, else why not.
//
//   move SOURCE TARGET     Settling::move, with nothing at the target running
//   install BUNDLE STAGED  AppUpdate::install as the copy at BUNDLE runs it, until it is up
//   prepare BUNDLE STAGED  AppUpdate::check, then prepare, as the copy at BUNDLE runs them
#include "Faults.h"

namespace faults_testing {

std::string operate(const std::vector<std::string>& args) {
  const std::string what = args.size() == 3 ? args[0] : "";
  if (what != "move" && what != "install" && what != "prepare")
    return "usage: move SOURCE TARGET | install BUNDLE STAGED | prepare BUNDLE STAGED";
  if (what == "move") {
    auto moved = Settling::move(args[1], args[2], [](const fs::path&) { return false; });
    auto* failed = std::get_if<Settling::Failed>(&moved);
    return failed ? failed->why : std::holds_alternative<Settling::Moved>(moved) ? "moved" : "no";
  }
  pretendMainBundle(args[1]);
  if (what == "install") {
    auto installing = AppUpdate::install(args[2]);
    if (auto* problem = std::get_if<AppUpdate::NotInstalled>(&installing)) return problem->why;
    auto& relaunch = *std::get<std::unique_ptr<AppUpdate::Relaunch>>(installing);
    auto state = relaunch.look();
    for (; state == AppUpdate::Relaunch::State::waiting; state = relaunch.look())
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (state != AppUpdate::Relaunch::State::up) return "not opened";
    relaunch.keep();
    return "installed";
  }
  std::promise<std::optional<AppUpdate::Published>> checked;
  AppUpdate::check([&](std::optional<AppUpdate::Published> entry) { checked.set_value(entry); });
  auto entry = checked.get_future().get();
  return entry ? prepareNow(*entry) : "up to date";
}

}  // namespace faults_testing

int main(int argc, char** argv) {
  return testing_support::sandboxedMain(argc, argv, [](const std::vector<std::string>& args) {
    std::cout << faults_testing::operate(args) << std::endl;
    return 0;
  });
}
