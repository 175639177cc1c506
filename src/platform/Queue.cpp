#include "platform/Queue.h"

#include "platform/LoopImpl.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <memory>
#include <thread>

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

namespace Platform {
namespace {

// Qt hands queued work to the main thread under locks of its own, which ThreadSanitizer cannot
// see in a Qt that was not built with it. These tell it of the hand-over: whatever the posting
// thread did before posting happens before the work runs. (The few words Qt itself writes and
// frees for the call are left to tests/sanitizers/tsan.supp.)
void handOver([[maybe_unused]] void* work) {
#if defined(__SANITIZE_THREAD__)
  __tsan_release(work);
#endif
}

void takeOver([[maybe_unused]] void* work) {
#if defined(__SANITIZE_THREAD__)
  __tsan_acquire(work);
#endif
}

}  // namespace

void onMain(std::function<void()> work) {
  QCoreApplication* app = QCoreApplication::instance();
  if (!app) return;
  auto posted = std::make_shared<std::function<void()>>(std::move(work));
  handOver(posted.get());
  QMetaObject::invokeMethod(
      app,
      [posted] {
        takeOver(posted.get());
        (*posted)();
      },
      Qt::QueuedConnection);
}

void after(double seconds, std::function<void()> work) {
  if (QCoreApplication* app = QCoreApplication::instance()) {
    QTimer::singleShot(static_cast<int>(seconds * 1000), app, std::move(work));
  }
}

void inBackground(Qos, std::function<void()> work) {
  std::thread(std::move(work)).detach();
}

void turnLoop(double seconds) {
  QEventLoop loop;
  QTimer::singleShot(static_cast<int>(seconds * 1000), &loop, &QEventLoop::quit);
  loop.exec();
}

struct Repeating::Impl {
  QTimer timer;
};

Repeating::Repeating(double seconds, std::function<void()> tick) : impl_(std::make_unique<Impl>()) {
  impl_->timer.setInterval(static_cast<int>(seconds * 1000));
  QObject::connect(&impl_->timer, &QTimer::timeout, std::move(tick));
  impl_->timer.start();
}

Repeating::~Repeating() = default;

EventLoop::EventLoop(int& argc, char** argv) : impl_(std::make_unique<Impl>()) {
  impl_->app = std::make_unique<QCoreApplication>(argc, argv);
}

EventLoop::EventLoop(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

EventLoop::~EventLoop() = default;

int EventLoop::run() {
  return impl_->app->exec();
}

void EventLoop::quit(int code) {
  if (QCoreApplication* app = QCoreApplication::instance()) {
    QMetaObject::invokeMethod(
        app, [code] { QCoreApplication::exit(code); }, Qt::QueuedConnection);
  }
}

}  // namespace Platform
