#pragma once
// The desk as the application sees it, and whether anybody uses its console.
#include <string>

struct DeskState {
  enum class Kind {
    answering,            // set up, and its web server answered
    notInstalled,         // nothing at the install folder
    unfinished,           // a setup run started and did not finish
    installedNotRunning,  // set up, but no useful answer
  };
  Kind kind = Kind::notInstalled;
  std::string version;  // with `answering`: the installed version, possibly empty

  static DeskState answering(std::string version) { return {Kind::answering, std::move(version)}; }
  static DeskState notInstalled() { return {Kind::notInstalled, {}}; }
  static DeskState unfinished() { return {Kind::unfinished, {}}; }
  static DeskState installedNotRunning() { return {Kind::installedNotRunning, {}}; }

  std::string menuText() const;
  bool needsSetup() const { return kind == Kind::notInstalled || kind == Kind::unfinished; }
  bool operator==(const DeskState&) const = default;
};
