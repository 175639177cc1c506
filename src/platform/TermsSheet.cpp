// quendrel-terms: the terms sheet in a process of its own, so that the web engine is loaded
// only while the sheet is up and leaves nothing behind in the menu-bar application.
//
// It speaks one compact JSON object per line: commands on its standard input, events on its
// standard output. The first command is "open"; the end of its input closes the sheet and
// ends the process.
//
//   {"do":"open","wiring":…,"title":…,"parent":window id,"over":[x,y,w,h]}
//   {"do":"load","url":…,"timeout":seconds,"file":bool}
//   {"do":"agree","enabled":bool}   {"do":"count","text":…}
//   {"do":"allowed","answer":bool}  the answer to an "allow" event
//   {"do":"state"|"run"|"key"|"click", "id":n, …}  questions a test asks; answered by a
//                                                    "reply" event with the same id
//
//   {"event":"message","body":…,"file":bool}  {"event":"allow","url":…,"clicked":bool}
//   {"event":"failed","file":bool}  {"event":"agreed"}  {"event":"declined"}
// "file" says which document a message or failure is about (the local file or the page
// from the network): one about a document that was replaced meanwhile is stale.
#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include <QApplication>
#include <QDialog>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QShortcut>
#include <QSocketNotifier>
#include <QTimer>
#include <QWebChannel>
#include <QWebEngineHttpRequest>
#include <QWebEngineLoadingInfo>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineScript>
#include <QWebEngineScriptCollection>
#include <QWebEngineSettings>
#include <QWebEngineView>
#include <QWindow>
#include <deque>
#include <functional>
#include <memory>
#include <optional>

namespace {

// Frames are given as on the Mac, from the bottom left of the content; Qt counts from the
// top left.
QRect frame(int height, int x, int y, int width, int tall) {
  return QRect(x, height - y - tall, width, tall);
}

QJsonArray corners(const QRect& r) {
  return {r.x(), r.y(), r.width(), r.height()};
}

// The two ends of the conversation with the application.
class Line {
 public:
  // Called whenever commands are waiting.
  std::function<void()> arrived;

  static void send(const QJsonObject& event) {
    QByteArray bytes = QJsonDocument(event).toJson(QJsonDocument::Compact) + '\n';
    for (qsizetype at = 0; at < bytes.size();) {
      ssize_t n = ::write(STDOUT_FILENO, bytes.constData() + at, bytes.size() - at);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;  // the application is gone; the end of the input follows
      at += n;
    }
  }

  // Reads what has arrived; false at the end of the input. Never waits: answer() may already
  // have taken the bytes that woke the event loop, and a read then would hang the sheet.
  bool take() {
    pollfd ready{STDIN_FILENO, POLLIN, 0};
    if (::poll(&ready, 1, 0) <= 0) return true;
    char chunk[65536];
    ssize_t n;
    do n = ::read(STDIN_FILENO, chunk, sizeof chunk);
    while (n < 0 && errno == EINTR);
    if (n <= 0) return false;
    buffer_.append(chunk, n);
    for (qsizetype end; (end = buffer_.indexOf('\n')) >= 0;) {
      QJsonObject command = QJsonDocument::fromJson(buffer_.left(end)).object();
      buffer_.remove(0, end + 1);
      if (!command.isEmpty()) waiting_.push_back(command);
    }
    if (!waiting_.empty() && arrived) arrived();
    return true;
  }

  std::optional<QJsonObject> next() {
    if (waiting_.empty()) return std::nullopt;
    QJsonObject command = waiting_.front();
    waiting_.pop_front();
    return command;
  }

  // Waits for the answer to a question, keeping the commands that come before it. No answer
  // within the bound, or the end of the input, is a no.
  bool answer() {
    constexpr int bound = 10000;
    for (;;) {
      for (auto it = waiting_.begin(); it != waiting_.end(); ++it) {
        if (it->value(QStringLiteral("do")).toString() == QStringLiteral("allowed")) {
          bool yes = it->value(QStringLiteral("answer")).toBool();
          waiting_.erase(it);
          return yes;
        }
      }
      pollfd in{STDIN_FILENO, POLLIN, 0};
      if (::poll(&in, 1, bound) <= 0 || !take()) return false;
    }
  }

 private:
  QByteArray buffer_;
  std::deque<QJsonObject> waiting_;
};

// Where the page's "terms" messages arrive, through the web channel.
class TermsBridge : public QObject {
  Q_OBJECT

 public:
  std::function<void(const QString& body, const QString& protocol)> heard;

  Q_INVOKABLE void post(const QString& body, const QString& protocol) {
    if (heard) heard(body, protocol);
  }
};

// Gives the page `window.webkit.messageHandlers.terms.postMessage`, as the wiring expects,
// over the web channel. Messages posted before the channel is open wait for it. Each message
// says whether a local file or a page from the network sent it.
QString shim() {
  QFile file(QStringLiteral(":/qtwebchannel/qwebchannel.js"));
  QString channel = file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
  return QStringLiteral("(() => {\n") + channel + QStringLiteral(R"js(
  let bridge = null;
  const waiting = [];
  const postMessage = (body) => {
    let text = '';
    try { text = JSON.stringify(body) || ''; } catch (e) { text = ''; }
    if (bridge) bridge.post(text, location.protocol); else waiting.push(text);
  };
  window.webkit = window.webkit || {};
  window.webkit.messageHandlers = window.webkit.messageHandlers || {};
  window.webkit.messageHandlers.terms = { postMessage };
  new QWebChannel(qt.webChannelTransport, (opened) => {
    bridge = opened.objects.terms;
    waiting.splice(0).forEach((text) => bridge.post(text, location.protocol));
  });
})();
)js");
}

QWebEngineScript script(const QString& name, const QString& source,
                        QWebEngineScript::InjectionPoint when) {
  QWebEngineScript s;
  s.setName(name);
  s.setSourceCode(source);
  s.setInjectionPoint(when);
  s.setWorldId(QWebEngineScript::MainWorld);
  s.setRunsOnSubFrames(false);
  return s;
}

class TermsSheet;

// The sheet's page: every navigation is put to the application, and a link that would open a
// new window is put to it as a clicked link.
class TermsPage : public QWebEnginePage {
 public:
  TermsPage(QWebEngineProfile* profile, QObject* parent, TermsSheet& sheet)
      : QWebEnginePage(profile, parent), sheet_(sheet) {}

 protected:
  bool acceptNavigationRequest(const QUrl& url, NavigationType type, bool) override;
  QWebEnginePage* createWindow(WebWindowType) override;

 private:
  TermsSheet& sheet_;
};

// Stands in for the new window a link asks for, only to learn the link's address.
class LinkCatcher : public QWebEnginePage {
 public:
  LinkCatcher(QWebEngineProfile* profile, QObject* parent, TermsSheet& sheet)
      : QWebEnginePage(profile, parent), sheet_(sheet) {}

 protected:
  bool acceptNavigationRequest(const QUrl& url, NavigationType, bool) override;

 private:
  TermsSheet& sheet_;
};

class TermsSheet : public QDialog {
 public:
  TermsSheet(Line& line, const QJsonObject& open) : line_(line) {
    constexpr int width = 640, height = 580;
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    setWindowTitle(open.value(QStringLiteral("title")).toString());
    setFixedSize(width, height);

    profile_ = std::make_unique<QWebEngineProfile>();  // no storage name: off the record
    profile_->setHttpCacheType(QWebEngineProfile::NoCache);
    bridge_.heard = [this](const QString& body, const QString& protocol) {
      if ((protocol == QStringLiteral("file:")) != file_) return;  // an earlier document
      Line::send({{"event", "message"}, {"body", body}, {"file", file_}});
    };
    channel_.registerObject(QStringLiteral("terms"), &bridge_);

    web_ = std::make_unique<QWebEngineView>(this);
    web_->setGeometry(frame(height, 0, 56, 640, 524));
    auto* page = new TermsPage(profile_.get(), web_.get(), *this);
    page->settings()->setAttribute(QWebEngineSettings::ErrorPageEnabled, false);
    page->setWebChannel(&channel_);
    page->scripts().insert(
        script(QStringLiteral("terms-shim"), shim(), QWebEngineScript::DocumentCreation));
    page->scripts().insert(script(QStringLiteral("terms-wiring"),
                                  open.value(QStringLiteral("wiring")).toString(),
                                  QWebEngineScript::DocumentReady));
    web_->setPage(page);
    connect(page, &QWebEnginePage::loadingChanged, this,
            [this](const QWebEngineLoadingInfo& info) { loading(info); });

    agree_ = new QPushButton(QStringLiteral("I agree"), this);
    agree_->setGeometry(frame(height, 516, 12, 104, 32));
    agree_->setEnabled(false);
    agree_->setAutoDefault(false);
    connect(agree_, &QPushButton::clicked, this, [] { Line::send({{"event", "agreed"}}); });

    cancel_ = new QPushButton(QStringLiteral("Cancel"), this);
    cancel_->setGeometry(frame(height, 408, 12, 104, 32));
    cancel_->setAutoDefault(false);
    connect(cancel_, &QPushButton::clicked, this, [this] { reject(); });
    // Escape cancels wherever the focus is, the page included.
    auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    connect(escape, &QShortcut::activated, this, [this] { reject(); });

    count_ = new QLabel(this);
    count_->setGeometry(frame(height, 24, 18, 360, 18));
    QFont font = QApplication::font();
    font.setPointSizeF(12);
    count_->setFont(font);
    QPalette palette = count_->palette();
    QColor text = palette.color(QPalette::WindowText);
    text.setAlphaF(0.5);
    palette.setColor(QPalette::WindowText, text);
    count_->setPalette(palette);

    timer_.setSingleShot(true);
    connect(&timer_, &QTimer::timeout, this, [this] {
      if (!awaiting_) return;
      awaiting_ = false;
      web_->page()->triggerAction(QWebEnginePage::Stop);
      Line::send({{"event", "failed"}, {"file", file_}});
    });

    place(open);
  }

  // Does what a command says; false for one it does not know.
  void obey(const QJsonObject& command) {
    const QString what = command.value(QStringLiteral("do")).toString();
    if (what == QStringLiteral("load")) {
      const QString url = command.value(QStringLiteral("url")).toString();
      file_ = command.value(QStringLiteral("file")).toBool();
      awaiting_ = true;
      web_->page()->load(QWebEngineHttpRequest(file_ ? QUrl::fromLocalFile(url) : QUrl(url)));
      timer_.start(static_cast<int>(command.value(QStringLiteral("timeout")).toDouble() * 1000));
    } else if (what == QStringLiteral("agree")) {
      agree_->setEnabled(command.value(QStringLiteral("enabled")).toBool());
    } else if (what == QStringLiteral("count")) {
      count_->setText(command.value(QStringLiteral("text")).toString());
    } else if (command.contains(QStringLiteral("id"))) {
      answer(command);
    }
  }

  bool allow(const QUrl& url, bool clickedLink) {
    Line::send(
        {{"event", "allow"}, {"url", url.toString(QUrl::FullyEncoded)}, {"clicked", clickedLink}});
    return line_.answer();
  }

  QWebEngineProfile* profile() const { return profile_.get(); }

  // Escape, and the Cancel button.
  void reject() override { Line::send({{"event", "declined"}}); }

 private:
  // Over the setup window, as a sheet drops from its title bar, and kept with it.
  void place(const QJsonObject& open) {
    QJsonArray over = open.value(QStringLiteral("over")).toArray();
    if (over.size() == 4) {
      const int x = over[0].toInt(), y = over[1].toInt(), w = over[2].toInt();
      move(x + (w - width()) / 2, y);
    }
    const auto parent = static_cast<WId>(open.value(QStringLiteral("parent")).toDouble());
    if (parent && QGuiApplication::platformName() == QStringLiteral("xcb")) {
      winId();  // makes the native window, so that it can be given its parent
      if (QWindow* window = QWindow::fromWinId(parent)) {
        window->setParent(nullptr);
        windowHandle()->setTransientParent(window);
      }
    }
  }

  // The questions a test asks: how the sheet is drawn, what the page says, a key or a button.
  void answer(const QJsonObject& command) {
    QJsonObject reply{{"event", "reply"}, {"id", command.value(QStringLiteral("id"))}};
    const QString what = command.value(QStringLiteral("do")).toString();
    if (what == QStringLiteral("state")) {
      reply[QStringLiteral("size")] = QJsonArray{width(), height()};
      reply[QStringLiteral("at")] = corners(geometry());
      reply[QStringLiteral("frame")] = corners(frameGeometry());
      reply[QStringLiteral("web")] = corners(web_->geometry());
      reply[QStringLiteral("agree")] = corners(agree_->geometry());
      reply[QStringLiteral("cancel")] = corners(cancel_->geometry());
      reply[QStringLiteral("count")] = corners(count_->geometry());
      reply[QStringLiteral("agreeEnabled")] = agree_->isEnabled();
      reply[QStringLiteral("text")] = count_->text();
      reply[QStringLiteral("url")] = web_->url().toString(QUrl::FullyEncoded);
      reply[QStringLiteral("offTheRecord")] = profile_->isOffTheRecord();
      reply[QStringLiteral("visible")] = isVisible();
      reply[QStringLiteral("pid")] = static_cast<double>(QCoreApplication::applicationPid());
      Line::send(reply);
    } else if (what == QStringLiteral("run")) {
      web_->page()->runJavaScript(command.value(QStringLiteral("code")).toString(),
                                  [reply](const QVariant& result) mutable {
                                    reply[QStringLiteral("result")] =
                                        QJsonValue::fromVariant(result);
                                    Line::send(reply);
                                  });
    } else if (what == QStringLiteral("key")) {
      QKeyEvent press(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
      QApplication::sendEvent(this, &press);
      Line::send(reply);
    } else if (what == QStringLiteral("click")) {
      const bool agree = command.value(QStringLiteral("button")).toString() == "agree";
      (agree ? agree_ : cancel_)->click();
      Line::send(reply);
    }
  }

  // Only the end of the load asked for counts, and only its failure is news.
  void loading(const QWebEngineLoadingInfo& info) {
    if (!awaiting_ || info.url().isLocalFile() != file_) return;
    if (info.status() == QWebEngineLoadingInfo::LoadSucceededStatus) {
      awaiting_ = false;
      timer_.stop();
    } else if (info.status() == QWebEngineLoadingInfo::LoadFailedStatus) {
      awaiting_ = false;
      timer_.stop();
      Line::send({{"event", "failed"}, {"file", file_}});
    }
  }

  Line& line_;
  // Declared so that the page goes first, then the channel and the profile it needs.
  std::unique_ptr<QWebEngineProfile> profile_;
  TermsBridge bridge_;
  QWebChannel channel_;
  std::unique_ptr<QWebEngineView> web_;
  QPushButton* agree_ = nullptr;
  QPushButton* cancel_ = nullptr;
  QLabel* count_ = nullptr;
  QTimer timer_;
  bool awaiting_ = false;
  bool file_ = false;  // the document asked for is a local file
};

bool TermsPage::acceptNavigationRequest(const QUrl& url, NavigationType type, bool) {
  return sheet_.allow(url, type == NavigationTypeLinkClicked);
}

QWebEnginePage* TermsPage::createWindow(WebWindowType) {
  return new LinkCatcher(sheet_.profile(), &sheet_, sheet_);
}

bool LinkCatcher::acceptNavigationRequest(const QUrl& url, NavigationType, bool) {
  sheet_.allow(url, true);
  deleteLater();
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  Line line;
  std::unique_ptr<TermsSheet> sheet;

  // Commands are carried out from the event loop, never inside a navigation question.
  auto carryOut = [&] {
    while (auto command = line.next()) {
      if (!sheet) {
        if (command->value(QStringLiteral("do")).toString() != QStringLiteral("open")) continue;
        sheet = std::make_unique<TermsSheet>(line, *command);
        sheet->show();
        sheet->raise();
        sheet->activateWindow();
      } else {
        sheet->obey(*command);
      }
    }
  };
  line.arrived = [&] { QTimer::singleShot(0, &application, carryOut); };
  QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
  QObject::connect(&input, &QSocketNotifier::activated, &application, [&] {
    if (line.take()) return;
    input.setEnabled(false);
    sheet.reset();
    QApplication::quit();
  });
  return QApplication::exec();
}

#include "TermsSheet.moc"
