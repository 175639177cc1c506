// quendrelctl setup from a bundle that holds the reference payload, against the stand-in
// service: the whole road of a first installation, and of a second one over it.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "SetupFixture.h"
#include "desk/Desk.h"
#include "platform/http.h"
#include "platform/queue.h"
#include "setup/Belonging.h"
#include "text/Text.h"

using namespace setup_testing;

namespace {

constexpr const char* code = "246810";

// The reference desk of a home folder, stopped however the test ends.
class DeskGuard {
 public:
  explicit DeskGuard(fs::path desk) : desk_(std::move(desk)) {}
  ~DeskGuard() {
    if (!fs::exists(desk_ / "agent.sh")) return;
    run("/bin/bash", {(desk_ / "agent.sh").string(), "stop"}, {}, Input::none, 60);
  }

 private:
  fs::path desk_;
};

DeskState lookNow() {
  std::optional<DeskState> answer;
  Desk::look([&](DeskState state) { platform::onMain([&, state] { answer = state; }); });
  waitFor([&] { return answer.has_value(); });
  return answer.value_or(DeskState::notInstalled());
}

}  // namespace

TEST(EndToEnd, TheReferenceDeskIsLaidDownPairedAndRunning) {
  int argc = 1;
  char name[] = "setup_tests";
  char* argv[] = {name, nullptr};
  platform::EventLoop loop(argc, argv, false);

  const int servicePort = testing_support::freePort();
  Computer computer("http://127.0.0.1:" + std::to_string(servicePort));
  fs::remove_all(computer.payload);
  fs::copy(fs::path(SOURCE_ROOT) / "devkit/payload", computer.payload, fs::copy_options::recursive);
  setenv("QUENDREL_PORT", std::to_string(testing_support::freePort()).c_str(), 1);
  setenv("DESK_SUPERVISOR", "process", 1);

  Child service(fs::path(SOURCE_ROOT) / "devkit/service",
                {"--port", std::to_string(servicePort), "--code", code});
  ASSERT_TRUE(waitFor([&] { return listening(servicePort); }));
  DeskGuard guard(computer.desk());

  Ran wrong = computer.setUpWithCtl("135791");
  EXPECT_EQ(wrong.status, 1);
  EXPECT_NE(wrong.err.find("code"), std::string::npos) << wrong.err;
  EXPECT_FALSE(fs::exists(computer.desk() / "presets/.uplink"));

  Ran ran = computer.setUpWithCtl(code);
  ASSERT_EQ(ran.status, 0) << ran.out << ran.err;
  EXPECT_EQ(ran.out, std::string(done) + "\n");
  EXPECT_FALSE(fs::exists(computer.marker()));
  EXPECT_EQ(read(Belonging::note()), computer.app.string() + "\n");

  const fs::path uplink = computer.desk() / "presets/.uplink";
  ASSERT_TRUE(fs::exists(uplink)) << "paired";
  struct stat s;
  ASSERT_EQ(stat(uplink.c_str(), &s), 0);
  EXPECT_EQ(s.st_mode & 077, 0u) << "the pairing credentials are private";
  EXPECT_NE(read(uplink).find("\"terms\": \"2025-04\""), std::string::npos);

  DeskState state = lookNow();
  EXPECT_EQ(state.kind, DeskState::Kind::answering) << state.menuText();

  // A code works once.
  Ran reused = computer.setUpWithCtl(code);
  EXPECT_EQ(reused.status, 1);
  EXPECT_EQ(read(computer.marker()), "laid\n");

  // Set up again with a new code: the user's work is kept and the desk runs again.
  write(computer.desk() / "projects/Easter/mix.json", "{\"mine\": true}\n");
  std::optional<std::string> fresh;
  platform::http::get({"http://127.0.0.1:" + std::to_string(servicePort) + "/codes/new", 5},
                      [&](platform::http::Reply reply) {
                        platform::onMain([&, reply] { fresh = reply.body.value_or(""); });
                      });
  ASSERT_TRUE(waitFor([&] { return fresh.has_value(); }));
  Ran again = computer.setUpWithCtl(text::trim(*fresh), "2025-05");
  ASSERT_EQ(again.status, 0) << again.out << again.err;
  EXPECT_EQ(again.out, std::string(done) + "\n");
  EXPECT_EQ(read(computer.desk() / "projects/Easter/mix.json"), "{\"mine\": true}\n");
  EXPECT_NE(read(uplink).find("\"terms\": \"2025-05\""), std::string::npos);
  EXPECT_FALSE(fs::exists(computer.marker()));
  EXPECT_EQ(lookNow().kind, DeskState::Kind::answering);
}
