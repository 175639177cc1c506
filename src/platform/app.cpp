#include "platform/app.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QEvent>
#include <QLocalServer>
#include <QLocalSocket>
#include <QSocketNotifier>
#include <QTimer>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string_view>

#include "platform/bundle.h"
#include "platform/descriptor.h"

namespace platform {
namespace {

// The write end of the self-pipe; the signal handler can do nothing but write to it.
int signalPipe = -1;

void onSignal(int) {
  const int saved = errno;
  const char byte = 1;
  [[maybe_unused]] auto written = write(signalPipe, &byte, 1);
  errno = saved;
}

void postToMain(const std::function<void()>& handler) {
  if (QCoreApplication* app = QCoreApplication::instance()) {
    QMetaObject::invokeMethod(app, handler, Qt::QueuedConnection);
  }
}

// Turns SIGTERM, SIGINT and quit events into calls of the handler. Lives as a child of the
// application object; its descriptors close and the signals go back to their defaults when
// the application goes.
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

  ~TerminationWatch() override {
    if (!writer_.valid()) return;
    signal(SIGTERM, SIG_DFL);
    signal(SIGINT, SIG_DFL);
    signalPipe = -1;
  }

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
// left on disk and it is freed when its holder ends, however it ends.
QString reopenName() {
  std::filesystem::path where;
  if (auto bundle = mainBundle()) {
    where = bundle->location;
  } else {
    std::error_code error;
    where = std::filesystem::read_symlink("/proc/self/exe", error);
  }
  QByteArray key = QByteArray::fromStdString(where.string());
  key += '\n' + qgetenv("WAYLAND_DISPLAY") + '\n' + qgetenv("DISPLAY");
  const QByteArray digest = QCryptographicHash::hash(key, QCryptographicHash::Sha256).toHex();
  return QStringLiteral("quendrel-%1-%2").arg(getuid()).arg(QString::fromLatin1(digest.left(32)));
}

constexpr std::string_view reopenRequest = "reopen\n";
constexpr int connectMilliseconds = 2000;
constexpr int listenRetryMilliseconds = 1000;

void answer(QLocalSocket* socket, const std::function<void()>& handler) {
  while (socket->canReadLine()) {
    if (socket->readLine().toStdString() == reopenRequest) postToMain(handler);
  }
}

}  // namespace

bool markedAsNewInstance() {
  static const bool marked = [] {
    const char* value = std::getenv(newInstanceVariable);
    const bool set = value && std::string_view(value) == "1";
    unsetenv(newInstanceVariable);
    return set;
  }();
  return marked;
}

bool askRunningToReopen() {
  QLocalSocket socket;
  socket.setSocketOptions(QLocalSocket::AbstractNamespaceOption);
  socket.connectToServer(reopenName());
  if (!socket.waitForConnected(connectMilliseconds)) return false;
  if (!sameUser(socket.socketDescriptor())) return false;
  socket.write(reopenRequest.data(), static_cast<qint64>(reopenRequest.size()));
  // Once the request is in the socket, the running copy reads it whenever its loop turns.
  if (!socket.waitForBytesWritten(connectMilliseconds)) return false;
  socket.disconnectFromServer();
  return true;
}

void onReopen(std::function<void()> handler) {
  QCoreApplication* app = QCoreApplication::instance();
  if (!app) return;
  auto* server = new QLocalServer(app);
  server->setSocketOptions(QLocalServer::AbstractNamespaceOption);
  QObject::connect(server, &QLocalServer::newConnection, server, [server, handler] {
    while (QLocalSocket* socket = server->nextPendingConnection()) {
      QObject::connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
      if (!sameUser(socket->socketDescriptor())) {
        socket->abort();
        continue;
      }
      QObject::connect(socket, &QLocalSocket::readyRead, socket,
                       [socket, handler] { answer(socket, handler); });
      answer(socket, handler);
    }
  });
  if (server->listen(reopenName())) return;
  // The name is still held by a copy that is handing over to us; take it when it goes.
  auto* retry = new QTimer(server);
  retry->setInterval(listenRetryMilliseconds);
  QObject::connect(retry, &QTimer::timeout, server, [server, retry] {
    if (server->listen(reopenName())) retry->deleteLater();
  });
  retry->start();
}

void onTerminationRequest(std::function<void()> handler) {
  if (QCoreApplication* app = QCoreApplication::instance()) {
    new TerminationWatch(std::move(handler), app);
  }
}

}  // namespace platform
