#include "support/KillSweep.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>

#include "support/Home.h"

namespace testing_support {

Environment killpoint(const std::filesystem::path& under, long at,
                      const std::filesystem::path& log) {
  Environment environment{
      {"LD_PRELOAD", KILLPOINT}, {"KILLPOINT_UNDER", under}, {"KILLPOINT_AT", std::to_string(at)}};
  if (!log.empty()) environment.emplace_back("KILLPOINT_LOG", log);
  return environment;
}

Steps steps(const std::filesystem::path& log, const std::filesystem::path& root) {
  Steps lines;
  const std::string all = read(log);
  const std::string prefix = root.string() + "/";
  for (std::size_t start = 0; start < all.size();) {
    const std::size_t end = all.find('\n', start);
    std::string line = all.substr(start, end - start);
    line = line.substr(line.find(' ') + 1);  // the counter goes
    if (auto at = line.find(prefix); at != std::string::npos) line.erase(at, prefix.size());
    lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

long calls(const Steps& steps, const std::string& call) {
  return std::count_if(steps.begin(), steps.end(),
                       [&](const std::string& l) { return l.rfind(call + " ", 0) == 0; });
}

Tally::Tally(std::string what, std::string how) : what_(std::move(what)), how_(std::move(how)) {}

Tally::~Tally() {
  std::cout << "[ faults   ] " << what_ << ": " << tried_ << " tried, " << held_ << " " << how_
            << std::endl;
  EXPECT_EQ(held_, tried_) << what_;
}

void Tally::check(const std::string& name, const std::function<void()>& body) {
  SCOPED_TRACE(name);
  auto failures = [] {
    return ::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count();
  };
  const int before = failures();
  body();
  ++tried_;
  if (failures() == before) ++held_;
}

int sweep(const std::string& what, const Steps& steps,
          const std::function<bool(std::size_t, const std::string&)>& chosen,
          const std::function<void(long at)>& cutShort) {
  Tally tally(what, "recovered");
  for (std::size_t i = 0; i < steps.size(); ++i) {
    if (!chosen(i, steps[i])) continue;
    const long at = static_cast<long>(i + 1);
    tally.check("killed after " + std::to_string(at) + ": " + steps[i], [&] { cutShort(at); });
  }
  return tally.tried();
}

}  // namespace testing_support
