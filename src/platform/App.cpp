#include "platform/App.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QEvent>
#include <QSocketNotifier>
#include <QTimer>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>

#include "platform/Bundle.h"
#include "platform/Descriptor.h"
#include "platform/Process.h"

namespace Platform {
namespace {

// Where to say that this copy is up, when the copy that started it waits to hear it.
Descriptor answerTo;

// The write end of the self-pipe; the signal handler can do nothing but write to it.
std::atomic<int> signalPipe = -1;

void onSignal(int) {
  const int pipe = signalPipe.load();
  if (pipe < 0) return;
  const int saved = errno;
  const char byte = 1;
  [[maybe_unused]] auto written = write(pipe, &byte, 1);
  errno = saved;
}

void postToMain(const std::function<void()>& handler) {
  if (QCoreApplication* app = QCoreApplication::instance()) {
    QMetaObject::invokeMethod(app, handler, Qt::QueuedConnection);
  }
}

// Turns SIGTERM, SIGINT and quit events into calls of the handler. Lives as a child of the
// application object; its descriptors close when the application goes, and later signals
// are then dropped.
class TerminationWatch : public QObject {
 public:
  TerminationWatch(std::function<void()> handler, QObject* parent)
      : QObject(parent), handler_(std::move(handler)) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) == 0) {
      reader_ = Descriptor(ends[0]);
      writer_ = Descriptor(ends[1]);
      signalPipe = writer_.get();
      auto* notifier = new QSocketNotifier(reader_.get(), QSocketNotifier::Read, this);
      connect(notifier, &QSocketNotifier::activated, this, [this] { drain(); });
      struct sigaction action = {};
      action.sa_handler = onSignal;
      sigemptyset(&action.sa_mask);
      action.sa_flags = SA_RESTART;
      sigaction(SIGTERM, &action, nullptr);
      sigaction(SIGINT, &action, nullptr);
    }
    parent->installEventFilter(this);
  }

  // The handler stays: a copy on its way out has already answered every request to quit, and
  // one arriving now (another copy closing this one) must not kill it before it has finished.
  // Children started from here on get the default back when they execute.
  ~TerminationWatch() override { signalPipe = -1; }

  TerminationWatch(const TerminationWatch&) = delete;
  TerminationWatch& operator=(const TerminationWatch&) = delete;

 protected:
  // A quit event reaches the application when the window system or the session asks it to
  // go, and when anything calls QCoreApplication::quit(); leaving is the handler's decision.
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (watched != parent() || event->type() != QEvent::Quit) return false;
    postToMain(handler_);
    return true;
  }

 private:
  void drain() {
    char bytes[64];
    bool signalled = false;
    while (read(reader_.get(), bytes, sizeof bytes) > 0) signalled = true;
    if (signalled) postToMain(handler_);
  }

  std::function<void()> handler_;
  Descriptor reader_;
  Descriptor writer_;
};

// Only processes of this user may ask us to re-open, and we only hand over to one of ours.
bool sameUser(qintptr descriptor) {
  struct ucred peer = {};
  socklen_t length = sizeof peer;
  if (getsockopt(static_cast<int>(descriptor), SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0) {
    return false;
  }
  return peer.uid == getuid();
}

// One name per bundle location, user and display: a copy on another display could not show
// its way in to this user anyway. The name lives in the abstract namespace, so nothing is
// left on disk and it is freed when its holder ends, however it ends. Earlier versions
// listen under the same name, so that any two copies can hand over to each other.
sockaddr_un reopenAddress(socklen_t& length) {
  std::filesystem::path where;
  if (auto bundle = mainBundle()) {
    std::error_code error;  // the same bundle however it was opened
    where = std::filesystem::weakly_canonical(bundle->location, error);
    if (error) where = bundle->location;
  } else {
    std::error_code error;
    where = std::filesystem::read_symlink("/proc/self/exe", error);
  }
  QByteArray key = QByteArray::fromStdString(where.string());
  key += '\n' + qgetenv("WAYLAND_DISPLAY") + '\n' + qgetenv("DISPLAY");
  const QByteArray digest = QCryptographicHash::hash(key, QCryptographicHash::Sha256).toHex();
  const std::string name =
      "quendrel-" + std::to_string(getuid()) + "-" + digest.left(32).toStdString();
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path + 1, name.data(), name.size());  // after the leading NUL
  length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
  return address;
}

constexpr std::string_view reopenRequest = "reopen\n";
constexpr int connectSeconds = 2;
constexpr int listenRetryMilliseconds = 1000;

Descriptor streamSocket() {
  return Descriptor(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
}

// One copy that has connected to ask for the way in; it goes once it has said its line or
// hung up.
class Asking : public QObject {
 public:
  Asking(Descriptor socket, std::function<void()> handler, QObject* parent)
      : QObject(parent), socket_(std::move(socket)), handler_(std::move(handler)) {
    auto* notifier = new QSocketNotifier(socket_.get(), QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [this] { read(); });
  }

 private:
  void read() {
    char chunk[64];
    const ssize_t n = recv(socket_.get(), chunk, sizeof chunk, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (n > 0) said_.append(chunk, static_cast<std::size_t>(n));
    if (said_.size() >= reopenRequest.size() || n <= 0) {
      if (said_.compare(0, reopenRequest.size(), reopenRequest) == 0) postToMain(handler_);
      deleteLater();
    }
  }

  Descriptor socket_;
  std::function<void()> handler_;
  std::string said_;
};

// Listens for later launches of the same bundle.
class ReopenListener : public QObject {
 public:
  ReopenListener(std::function<void()> handler, QObject* parent)
      : QObject(parent), handler_(std::move(handler)) {
    if (listen()) return;
    // The name is still held by a copy that is handing over to us; take it when it goes.
    retry_.setInterval(listenRetryMilliseconds);
    connect(&retry_, &QTimer::timeout, this, [this] {
      if (listen()) retry_.stop();
    });
    retry_.start();
  }

 private:
  bool listen() {
    Descriptor server(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    socklen_t length = 0;
    const sockaddr_un address = reopenAddress(length);
    constexpr int backlog = 16;
    if (!server.valid() ||
        bind(server.get(), reinterpret_cast<const sockaddr*>(&address), length) != 0 ||
        ::listen(server.get(), backlog) != 0) {
      return false;
    }
    server_ = std::move(server);
    auto* notifier = new QSocketNotifier(server_.get(), QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [this] { accept(); });
    return true;
  }

  void accept() {
    for (;;) {
      Descriptor client(accept4(server_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
      if (!client.valid()) return;
      if (sameUser(client.get())) new Asking(std::move(client), handler_, this);
    }
  }

  std::function<void()> handler_;
  Descriptor server_;
  QTimer retry_;
};

}  // namespace

bool markedAsNewInstance() {
  static const bool marked = [] {
    const char* value = std::getenv(newInstanceVariable);
    const bool set = value && std::string_view(value) == "1";
    unsetenv(newInstanceVariable);
    // The answer goes to no child of ours: the descriptor closes when a program is started.
    if (const char* answer = std::getenv(answerVariable)) {
      const int fd = std::atoi(answer);
      if (fd > STDERR_FILENO && fcntl(fd, F_SETFD, FD_CLOEXEC) == 0) answerTo = Descriptor(fd);
    }
    unsetenv(answerVariable);
    return set;
  }();
  return marked;
}

void announceUp() {
  if (!answerTo.valid()) return;
  constexpr std::string_view up = "up\n";
  // Not SIGPIPE should the copy waiting for it have gone meanwhile.
  [[maybe_unused]] auto sent = send(answerTo.get(), up.data(), up.size(), MSG_NOSIGNAL);
  answerTo = Descriptor();
}

bool askRunningToReopen() {
  Descriptor socket = streamSocket();
  if (!socket.valid()) return false;
  // A copy too busy to take the connection is not waited for long.
  const timeval bound{connectSeconds, 0};
  setsockopt(socket.get(), SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
  socklen_t length = 0;
  const sockaddr_un address = reopenAddress(length);
  if (connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), length) != 0) {
    return false;
  }
  if (!sameUser(socket.get())) return false;
  // Once the request is in the socket, the running copy reads it whenever its loop turns.
  return send(socket.get(), reopenRequest.data(), reopenRequest.size(), MSG_NOSIGNAL) ==
         static_cast<ssize_t>(reopenRequest.size());
}

void onReopen(std::function<void()> handler) {
  if (QCoreApplication* app = QCoreApplication::instance()) {
    new ReopenListener(std::move(handler), app);
  }
}

void onTerminationRequest(std::function<void()> handler) {
  if (QCoreApplication* app = QCoreApplication::instance()) {
    new TerminationWatch(std::move(handler), app);
  }
}

}  // namespace Platform
