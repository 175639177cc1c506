// This program as a driver: one operation of Quendrel's own, in a process that a test can cut
// short at an exact step (with the killpoint library preloaded). It prints what the operation
// answered and ends 0 when it succeeded.
//
//   move SOURCE TARGET     Settling::move, with nothing at the target running
//   install BUNDLE STAGED  AppUpdate::install as the copy at BUNDLE runs it
//   prepare BUNDLE         AppUpdate::check, then prepare, as the copy at BUNDLE runs them
//   quit                   the menu's "Quit Quendrel", printing every alert it shows and
//                          whether Quendrel would end
#include <future>
#include <iostream>
#include <thread>
#include <variant>

#include "Faults.h"
#include "app/Manager.h"
#include "placement/Moving.h"
#include "platform/Queue.h"
#include "support/MainBundle.h"
#include "support/ScriptedUi.h"

namespace faults_testing {

std::string prepareNow(const AppUpdate::Published& entry) {
  std::promise<AppUpdate::Prepared> answered;
  std::promise<void> settled;
  AppUpdate::prepare(
      entry, [&](AppUpdate::Prepared prepared) { answered.set_value(std::move(prepared)); },
      [&] { settled.set_value(); });
  auto prepared = answered.get_future().get();
  settled.get_future().wait();
  auto* unprepared = std::get_if<AppUpdate::Unprepared>(&prepared);
  return unprepared ? unprepared->why : "staged";
}

std::function<bool(std::size_t, const std::string&)> changesAndEveryNthCopy(std::size_t every) {
  return [every, made = std::size_t{0}](std::size_t, const std::string& step) mutable {
    const bool copying =
        step.starts_with("open ") || step.starts_with("mkdir ") || step.starts_with("symlink ");
    return !copying || made++ % every == every - 1;
  };
}

namespace {

int move(const fs::path& source, const fs::path& target) {
  auto outcome = Settling::move(source, target, [](const fs::path&) { return false; });
  const bool moved = std::holds_alternative<Settling::Moved>(outcome);
  if (auto* failed = std::get_if<Settling::Failed>(&outcome)) std::cout << failed->why << '\n';
  std::cout << (moved ? "moved" : "not moved") << '\n';
  return moved ? 0 : 1;
}

int install(const fs::path& bundle, const fs::path& staged) {
  pretendMainBundle(bundle);
  auto installing = AppUpdate::install(staged);
  if (auto* problem = std::get_if<AppUpdate::NotInstalled>(&installing)) {
    std::cout << problem->why << '\n';
    return 1;
  }
  auto& relaunch = *std::get<std::unique_ptr<AppUpdate::Relaunch>>(installing);
  auto state = relaunch.look();
  for (; state == AppUpdate::Relaunch::State::waiting; state = relaunch.look()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (state != AppUpdate::Relaunch::State::up) {
    std::cout << "not opened\n";
    return 1;
  }
  relaunch.keep();
  std::cout << "installed\n";
  return 0;
}

int prepare(const fs::path& bundle) {
  pretendMainBundle(bundle);
  std::promise<std::optional<AppUpdate::Published>> checked;
  AppUpdate::check([&](std::optional<AppUpdate::Published> entry) { checked.set_value(entry); });
  auto entry = checked.get_future().get();
  const std::string said = entry ? prepareNow(*entry) : "up to date";
  std::cout << said << '\n';
  return said == "staged" ? 0 : 1;
}

int quit() {
  int argc = 1;
  char name[] = "quendrel";
  char* argv[] = {name, nullptr};
  Platform::EventLoop loop(argc, argv);
  ScriptedUi ui;
  Manager manager(ui, {});
  manager.quitApp();
  for (const auto& alert : ui.alerts)
    std::cout << alert.message << '\n' << alert.informative << '\n';
  std::cout << (manager.terminated() ? "ends" : "stays open") << '\n';
  return 0;
}

}  // namespace

int driven(const std::vector<std::string>& args) {
  if (args.size() == 3 && args[0] == "move") return move(args[1], args[2]);
  if (args.size() == 3 && args[0] == "install") return install(args[1], args[2]);
  if (args.size() == 2 && args[0] == "prepare") return prepare(args[1]);
  if (args.size() == 1 && args[0] == "quit") return quit();
  std::cerr
      << "usage: --drive move SOURCE TARGET | install BUNDLE STAGED | prepare BUNDLE | quit\n";
  return 2;
}

}  // namespace faults_testing
