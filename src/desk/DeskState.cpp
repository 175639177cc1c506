#include "desk/DeskState.h"

std::string DeskState::menuText() const {
  switch (kind) {
    case Kind::notInstalled:
      return "Not set up yet";
    case Kind::unfinished:
      return "Setting up did not finish";
    case Kind::installedNotRunning:
      return "Not running";
    case Kind::answering:
      return version.empty() ? "Running" : "Running — " + version;
  }
  return {};
}
