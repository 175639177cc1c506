#include "platform/queue.h"

#include <QApplication>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <thread>

namespace platform {

void onMain(std::function<void()> work) {
  QCoreApplication* app = QCoreApplication::instance();
  if (!app) return;
  QMetaObject::invokeMethod(app, std::move(work), Qt::QueuedConnection);
}

void inBackground(Qos, std::function<void()> work) { std::thread(std::move(work)).detach(); }

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

struct EventLoop::Impl {
  std::unique_ptr<QCoreApplication> app;
};

EventLoop::EventLoop(int& argc, char** argv, bool gui) : impl_(std::make_unique<Impl>()) {
  if (gui) {
    auto app = std::make_unique<QApplication>(argc, argv);
    app->setQuitOnLastWindowClosed(false);
    impl_->app = std::move(app);
  } else {
    impl_->app = std::make_unique<QCoreApplication>(argc, argv);
  }
}

EventLoop::~EventLoop() = default;

int EventLoop::run() { return impl_->app->exec(); }

void EventLoop::quit(int code) {
  if (QCoreApplication* app = QCoreApplication::instance()) {
    QMetaObject::invokeMethod(app, [code] { QCoreApplication::exit(code); }, Qt::QueuedConnection);
  }
}

}  // namespace platform
