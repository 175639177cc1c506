#pragma once
// Running applications, read from /proc: a process whose executable lies in
// "X.app/Contents/MacOS/" runs the bundle "X.app".
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace Platform {

struct RunningApp {
  int pid = 0;
  std::optional<std::filesystem::path> bundle;  // as /proc reports it (links resolved)
  std::optional<std::string> identifier;        // CFBundleIdentifier of that bundle
  // Whether it runs the bundle's own program (its CFBundleExecutable) rather than a tool
  // beside it, such as quendrelctl: only that one is a copy of the application.
  bool main = true;
};

// Every process of this login (our user, our home folder) that runs a program from an
// application bundle, in process-id order.
std::vector<RunningApp> runningApplications();

// Gone, or a zombie waiting to be reaped.
bool isTerminated(int pid);

// The polite request to quit (SIGTERM). False when it could not be sent.
bool terminate(int pid);

}  // namespace Platform
