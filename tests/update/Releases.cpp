#include "update/Releases.h"
#include "support/MainBundle.h"

#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>

#include "platform/Digest.h"

namespace fs = std::filesystem;
using testing_support::Answer;
using testing_support::read;

namespace update_testing {

App noting(const std::string& version, const std::string& identifier) {
  App app{identifier, version};
  app.script = "#!/bin/bash\necho \"" + version +
               " ${QUENDREL_NEW_INSTANCE:-}\" >> \"$HOME/started\"\n" + testing_support::saysUp;
  return app;
}

Ran release(const fs::path& bundle, const Key& key, const fs::path& out) {
  return run(BUILD_ROOT "/quendrel-release",
             {bundle.string(), "--key", key.file.string(), "--out", out.string()});
}

Service::Service()
    : server_([this](const std::string& path) {
        if (path == "/app/latest") return Answer{200, feed};
        if (path == "/app/download") {
          while (holding) std::this_thread::sleep_for(std::chrono::milliseconds(20));
          return Answer{200, download};
        }
        return Answer{404, "There is nothing here.\n"};
      }) {}

void Service::offer(const std::string& version, const std::string& image, const std::string& file) {
  download = image;
  feed = "{\"version\": \"" + version + "\", \"sha256\": \"" + Platform::sha256Hex(image) +
         "\", \"file\": \"" + file + "\"}";
}

void Releasing::install() {
  App app = noting("1.0");
  app.service = service.base();
  makeApp(ours, app, &key);
  testing_support::pretendMainBundle(ours);
}

AppUpdate::Published Releasing::publish(const std::string& version, const Key* with) {
  const fs::path app = home / ("build-" + version + "/Quendrel.app");
  makeApp(app, noting(version), nullptr);
  auto ran = release(app, with ? *with : key, home / "releases");
  EXPECT_EQ(ran.status, 0) << ran.output;
  return serve(home / "releases");
}

AppUpdate::Published Releasing::serve(const fs::path& releases) {
  service.feed = read(releases / "latest.json");
  auto entry = AppUpdate::readFeed(service.feed);
  if (!entry) throw std::runtime_error("no feed in " + releases.string());
  service.download = read(releases / entry->file());
  return *entry;
}

AppUpdate::Published Releasing::imageOf(const fs::path& folder) {
  const fs::path image = home / "by-hand.img";
  EXPECT_TRUE(makeImage(folder, image));
  service.offer("2.0", read(image), "by-hand.img");
  return *AppUpdate::readFeed(service.feed);
}

AppUpdate::Prepared prepareNow(const AppUpdate::Published& entry) {
  std::promise<AppUpdate::Prepared> answered;
  std::promise<void> settled;
  AppUpdate::prepare(
      entry, [&](AppUpdate::Prepared prepared) { answered.set_value(std::move(prepared)); },
      [&] { settled.set_value(); });
  auto answer = answered.get_future().get();
  settled.get_future().wait();
  return answer;
}

}  // namespace update_testing
