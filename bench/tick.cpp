// The CPU of one refresh tick, counted by callgrind: run under
//   valgrind --tool=callgrind --instr-atstart=no bench-tick MODE TICKS
// with HOME a temporary home folder holding a desk that runs on QUENDREL_PORT.
// MODE "quendrel": the tick's probe (Desk::look) and the menu update it leads to.
// MODE "baseline": one bare libcurl GET of the same address and three stat calls.
// Each counted tick is one callgrind dump, after two uncounted warm-up ticks.
#include <curl/curl.h>
#include <sys/stat.h>
#include <valgrind/callgrind.h>

#include <cstdlib>
#include <filesystem>
#include <future>
#include <iostream>
#include <string>

#include "desk/Desk.h"
#include "desk/Paths.h"

namespace {

// The menu's first line, as the status item holds it.
std::string title;

void quendrelTick() {
  std::promise<void> done;
  Desk::look([&done](DeskState state) {
    title = state.menuText();
    done.set_value();
  });
  done.get_future().wait();
}

std::size_t discard(char*, std::size_t size, std::size_t count, void*) {
  return size * count;
}

void baselineTick(const std::string& url, const std::string& home) {
  struct stat info {};
  const std::string support = home + "/Library/Application Support/Quendrel";
  stat((support + "/Desk").c_str(), &info);
  stat((support + "/Desk/agent.sh").c_str(), &info);
  stat((home + "/.tarvic-setting-up").c_str(), &info);
  CURL* curl = curl_easy_init();
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, discard);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 2000L);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_perform(curl);
  curl_easy_cleanup(curl);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: bench-tick quendrel|baseline TICKS\n";
    return 2;
  }
  const std::string mode = argv[1];
  const int ticks = std::stoi(argv[2]);
  const char* home = std::getenv("HOME");
  const char* port = std::getenv("QUENDREL_PORT");
  if (!home || !port) return 2;
  const std::string url = std::string("http://127.0.0.1:") + port + "/relay-info";
  curl_global_init(CURL_GLOBAL_DEFAULT);
  auto tick = [&] { mode == "baseline" ? baselineTick(url, home) : quendrelTick(); };
  tick();
  tick();
  for (int i = 0; i < ticks; ++i) {
    CALLGRIND_ZERO_STATS;
    CALLGRIND_START_INSTRUMENTATION;
    tick();
    CALLGRIND_STOP_INSTRUMENTATION;
    CALLGRIND_DUMP_STATS_AT("tick");
  }
  std::cout << title << std::endl;
}
