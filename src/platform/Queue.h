#pragma once
// The main queue (the event loop of the main thread) and background queues.
#include <functional>
#include <memory>

namespace Platform {

// Runs `work` later on the main thread, from the event loop.
void onMain(std::function<void()> work);

// Runs `work` once on the main thread, `seconds` from now, if the event loop still runs then.
void after(double seconds, std::function<void()> work);

enum class Qos { userInitiated, utility };

// Runs `work` on a background thread of its own.
void inBackground(Qos qos, std::function<void()> work);

// Keeps the main thread's event loop turning for `seconds`, then returns.
void turnLoop(double seconds);

// A timer on the main thread's event loop that fires every `seconds` until dropped.
class Repeating {
 public:
  Repeating(double seconds, std::function<void()> tick);
  ~Repeating();
  Repeating(const Repeating&) = delete;
  Repeating& operator=(const Repeating&) = delete;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The process's event loop, of a plain application (`WidgetLoop` makes a widget one).
class EventLoop {
 public:
  EventLoop(int& argc, char** argv);
  ~EventLoop();
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  // Runs until `quit` is called; gives the code passed to it.
  int run();
  static void quit(int code);

 protected:
  struct Impl;
  explicit EventLoop(std::unique_ptr<Impl> impl);

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace Platform
