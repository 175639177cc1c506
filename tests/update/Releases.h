#pragma once
// Real releases for the update tests: signing keys, application bundles whose program notes
// each start, disk images made by quendrel-release (or by hand, for images it would never
// make), and a service on 127.0.0.1 that publishes them.
#include <atomic>
#include <filesystem>
#include <string>
#include <vector>

#include "support/LocalServer.h"
#include "update/AppUpdate.h"

namespace update_testing {

// Whether this test process runs in mount and process namespaces of its own (see main.cpp).
extern bool inSandbox;

// Makes a folder read-only for everybody, root included (a read-only bind mount over it).
bool makeReadOnly(const std::filesystem::path& folder);

// Mounts an empty file system of its own (tmpfs) on the folder.
bool mountScratch(const std::filesystem::path& folder);

// Whether anything is mounted at or below the folder.
bool mountedBelow(const std::filesystem::path& folder);

struct Key {
  std::filesystem::path file;
  std::string secret;
};
Key makeKey(const std::filesystem::path& file);

// Makes a bundle of this version (with a nested folder, a symbolic link, an extended attribute
// and an old time, as real bundles have) whose program appends "<version>
// <QUENDREL_NEW_INSTANCE>" to $HOME/started, and signs it with `key` when given. `service` is
// its QuendrelService, when given.
void makeApp(const std::filesystem::path& location, const std::string& version, const Key* key,
             const std::string& service = "",
             const std::string& identifier = "com.quendrel.manager");

// What $HOME/started holds: one line per start of a bundle's program.
std::string starts();

struct Ran {
  int status = -1;
  std::string output;  // standard output and error together
};
Ran run(const std::string& program, const std::vector<std::string>& args);

// quendrel-release BUNDLE --key KEY --out DIR.
Ran release(const std::filesystem::path& bundle, const Key& key, const std::filesystem::path& out);

// A squashfs image of everything in the folder, made with mksquashfs.
bool makeImage(const std::filesystem::path& folder, const std::filesystem::path& image);

// The feed and the download, as the web service serves them. Publishing a folder made by
// quendrel-release serves its latest.json and the image it names.
class Service {
 public:
  Service();
  std::string base() const { return server_.base(); }
  void publish(const std::filesystem::path& releases);
  // The feed entry for `image`'s bytes under this version and file name.
  void offer(const std::string& version, const std::string& image, const std::string& file);
  std::string feed;
  std::string download;
  int downloadStatus = 200;
  // While set, a download waits before it is answered.
  std::atomic<bool> holding{false};
  int downloads() { return server_.count("/app/download"); }

 private:
  testing_support::LocalServer server_;
};

// Runs a preparation and waits for it to settle (its image detached); gives its answer.
AppUpdate::Prepared prepareNow(const AppUpdate::Published& entry);

// The entry for a download whose bytes are `image`, with this version and file name.
AppUpdate::Published entryFor(const std::string& version, const std::string& image,
                              const std::string& file);

}  // namespace update_testing
