#pragma once
// Small signed copies of Quendrel and their keys, and a release of one as a disk image.
#include <filesystem>
#include <string>

namespace testing_support {

struct Key {
  std::filesystem::path file;
  std::string secret;
};
Key makeKey(const std::filesystem::path& file);

// The line a bundle's program ends with to say it is up, as a relaunch after an update waits
// to hear.
inline constexpr const char* saysUp =
    "[ -z \"$QUENDREL_ANSWER_FD\" ] || echo up >&\"$QUENDREL_ANSWER_FD\"\n";

// A small bundle of this version whose program appends "<version>" to $HOME/started (and says
// it is up), with a
// nested folder and a symbolic link as real bundles have; signed with `key` when given.
// `service` is its QuendrelService, when given.
void makeApp(const std::filesystem::path& location, const std::string& version, const Key* key,
             const std::string& service = "");

// Version 2.0 signed with a new key, as a squashfs disk image and its feed entry (file
// "Quendrel-2.0.img"): made in `home`, kept in memory.
struct Release {
  Key key;
  std::string image;
  std::string feed;
};
Release makeRelease(const std::filesystem::path& home);

// Whether the bundle is validly signed with `key` and is this version.
bool whole(const std::filesystem::path& bundle, const std::string& version, const Key& key);

// What $HOME/started holds: one line per start of a bundle's program.
std::string starts();

// Runs the bundle's program as a launch would, and gives whether it noted its start.
bool startsUp(const std::filesystem::path& bundle);

// A copy of Quendrel at `app` with quendrelctl in it and this service; gives quendrelctl.
std::filesystem::path withCtl(const std::filesystem::path& app,
                              const std::string& service = "http://127.0.0.1:9");

}  // namespace testing_support
