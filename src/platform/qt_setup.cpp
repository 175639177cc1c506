// The setup window and the terms sheet drawn with Qt Widgets and Qt WebEngine.
#include <QApplication>
#include <QCloseEvent>
#include <QDialog>
#include <QFile>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
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

#include "platform/setup_view.h"
#include "platform/ui.h"

namespace platform {
namespace {

// Frames are given as on the Mac, from the bottom left of the content; Qt counts from the
// top left.
QRect frame(int height, int x, int y, int width, int tall) {
  return QRect(x, height - y - tall, width, tall);
}

QString qt(const std::string& text) {
  return QString::fromStdString(text);
}

void colour(QWidget* widget, double alpha) {
  QPalette palette = widget->palette();
  QColor text = palette.color(QPalette::WindowText);
  text.setAlphaF(alpha);
  palette.setColor(QPalette::WindowText, text);
  widget->setPalette(palette);
}

QFont sized(QFont font, double points, QFont::Weight weight = QFont::Normal) {
  font.setPointSizeF(points);
  font.setWeight(weight);
  return font;
}

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

// The sheet's page: every navigation is put to the sheet's `allow`, and a link that would
// open a new window is put to it as a clicked link.
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
  TermsSheet(QWidget* parent, const std::string& wiring, TermsView::Handlers handlers)
      : QDialog(parent), handlers_(std::move(handlers)) {
    constexpr int width = 640, height = 580;
    setWindowFlags(Qt::Sheet | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    setWindowModality(Qt::WindowModal);
    setWindowTitle(parent ? parent->windowTitle() : QString());
    setFixedSize(width, height);

    profile_ = std::make_unique<QWebEngineProfile>();  // no storage name: off the record
    profile_->setHttpCacheType(QWebEngineProfile::NoCache);
    bridge_.heard = [this](const QString& body, const QString& protocol) {
      if ((protocol == QStringLiteral("file:")) != file_) return;  // an earlier document
      if (auto handler = handlers_.message) handler(body.toStdString());
    };
    channel_.registerObject(QStringLiteral("terms"), &bridge_);

    web_ = std::make_unique<QWebEngineView>(this);
    web_->setObjectName(QStringLiteral("web"));
    web_->setGeometry(frame(height, 0, 56, 640, 524));
    auto* page = new TermsPage(profile_.get(), web_.get(), *this);
    page->settings()->setAttribute(QWebEngineSettings::ErrorPageEnabled, false);
    page->setWebChannel(&channel_);
    page->scripts().insert(
        script(QStringLiteral("terms-shim"), shim(), QWebEngineScript::DocumentCreation));
    page->scripts().insert(
        script(QStringLiteral("terms-wiring"), qt(wiring), QWebEngineScript::DocumentReady));
    web_->setPage(page);
    connect(page, &QWebEnginePage::loadingChanged, this,
            [this](const QWebEngineLoadingInfo& info) { loading(info); });

    agree_ = new QPushButton(QStringLiteral("I agree"), this);
    agree_->setObjectName(QStringLiteral("agree"));
    agree_->setGeometry(frame(height, 516, 12, 104, 32));
    agree_->setEnabled(false);
    agree_->setAutoDefault(false);
    connect(agree_, &QPushButton::clicked, this, [this] { call(handlers_.agreed); });

    auto* cancel = new QPushButton(QStringLiteral("Cancel"), this);
    cancel->setObjectName(QStringLiteral("cancel"));
    cancel->setGeometry(frame(height, 408, 12, 104, 32));
    cancel->setAutoDefault(false);
    connect(cancel, &QPushButton::clicked, this, [this] { reject(); });

    count_ = new QLabel(this);
    count_->setObjectName(QStringLiteral("count"));
    count_->setGeometry(frame(height, 24, 18, 360, 18));
    count_->setFont(sized(QApplication::font(), 12));
    colour(count_, 0.5);

    timer_.setSingleShot(true);
    connect(&timer_, &QTimer::timeout, this, [this] {
      if (!awaiting_) return;
      awaiting_ = false;
      web_->page()->triggerAction(QWebEnginePage::Stop);
      call(handlers_.failed);
    });
  }

  // From now on nothing reaches the handlers.
  void silence() {
    handlers_ = {};
    timer_.stop();
  }

  void load(const QUrl& url, double timeout, bool file) {
    file_ = file;
    awaiting_ = true;
    QWebEngineHttpRequest request(url);
    web_->page()->load(request);
    timer_.start(static_cast<int>(timeout * 1000));
  }

  void setAgreeEnabled(bool enabled) { agree_->setEnabled(enabled); }
  void setCount(const QString& text) { count_->setText(text); }

  bool allow(const QUrl& url, bool clickedLink) {
    auto handler = handlers_.allow;
    if (!handler) return false;
    return handler({url.toString(QUrl::FullyEncoded).toStdString(), clickedLink});
  }

  QWebEngineProfile* profile() const { return profile_.get(); }

  // Escape, and the Cancel button.
  void reject() override { call(handlers_.declined); }

 private:
  // Handlers may drop the sheet; the call keeps its own copy of the handler.
  static void call(const std::function<void()>& handler) {
    if (auto copy = handler) copy();
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
      call(handlers_.failed);
    }
  }

  TermsView::Handlers handlers_;
  // Declared so that the page goes first, then the channel and the profile it needs.
  std::unique_ptr<QWebEngineProfile> profile_;
  TermsBridge bridge_;
  QWebChannel channel_;
  std::unique_ptr<QWebEngineView> web_;
  QPushButton* agree_ = nullptr;
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

class QtTermsView : public TermsView {
 public:
  explicit QtTermsView(TermsSheet* sheet) : sheet_(sheet) {}
  ~QtTermsView() override {
    if (!sheet_) return;
    // The sheet may be inside one of its own signals: it goes once they are done.
    sheet_->silence();
    sheet_->hide();
    sheet_->deleteLater();
  }

  void load(const std::string& address, double timeout) override {
    if (sheet_) sheet_->load(QUrl(qt(address)), timeout, false);
  }
  void loadFile(const std::filesystem::path& file) override {
    constexpr double localTimeout = 10;
    if (sheet_) sheet_->load(QUrl::fromLocalFile(qt(file.string())), localTimeout, true);
  }
  void setAgreeEnabled(bool enabled) override {
    if (sheet_) sheet_->setAgreeEnabled(enabled);
  }
  void setCount(const std::string& text) override {
    if (sheet_) sheet_->setCount(qt(text));
  }

 private:
  QPointer<TermsSheet> sheet_;
};

// The window keeps itself while a sheet is over it, as a window with a sheet does.
class SetupWindowWidget : public QWidget {
 protected:
  void closeEvent(QCloseEvent* event) override {
    for (auto* sheet : findChildren<TermsSheet*>()) {
      if (sheet->isVisible()) return event->ignore();
    }
    event->accept();
  }
};

class QtSetupView : public SetupView {
 public:
  QtSetupView() : window_(std::make_unique<SetupWindowWidget>()) {
    constexpr int width = 420, height = 230;
    window_->setObjectName(QStringLiteral("setup"));
    window_->setWindowTitle(QStringLiteral("Set up Quendrel"));
    window_->setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                            Qt::WindowCloseButtonHint);
    window_->setFixedSize(width, height);

    auto* heading = new QLabel(QStringLiteral("Connect this Mac to your church"), window_.get());
    heading->setObjectName(QStringLiteral("heading"));
    heading->setGeometry(frame(height, 24, 178, 372, 22));
    heading->setFont(sized(QApplication::font(), 15, QFont::DemiBold));

    explain_ = new QLabel(window_.get());
    explain_->setObjectName(QStringLiteral("explain"));
    explain_->setGeometry(frame(height, 24, 126, 372, 44));
    explain_->setWordWrap(true);
    explain_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    explain_->setFont(sized(QApplication::font(), 12));
    colour(explain_, 0.5);

    code_ = new QLineEdit(window_.get());
    code_->setObjectName(QStringLiteral("code"));
    code_->setGeometry(frame(height, 24, 78, 200, 34));
    code_->setAlignment(Qt::AlignCenter);
    code_->setPlaceholderText(QStringLiteral("123456"));
    code_->setFont(sized(QFontDatabase::systemFont(QFontDatabase::FixedFont), 22));
    QObject::connect(code_, &QLineEdit::textEdited, window_.get(), [this](const QString& text) {
      if (handlers_.edited) handlers_.edited(text.toStdString());
    });

    go_ = new QPushButton(QStringLiteral("Connect"), window_.get());
    go_->setObjectName(QStringLiteral("go"));
    go_->setGeometry(frame(height, 236, 78, 160, 34));
    go_->setEnabled(false);
    QObject::connect(go_, &QPushButton::clicked, window_.get(), [this] { press(); });
    // Return in the field, and anywhere in the window while it is active.
    QObject::connect(code_, &QLineEdit::returnPressed, window_.get(), [this] { press(); });
    for (auto key : {Qt::Key_Return, Qt::Key_Enter}) {
      auto* shortcut = new QShortcut(QKeySequence(key), window_.get());
      QObject::connect(shortcut, &QShortcut::activated, window_.get(), [this] { press(); });
    }

    auto* footnote = new QLabel(
        QStringLiteral("Codes last an hour and work once. If it has lapsed, ask for another — "
                       "nothing is lost."),
        window_.get());
    footnote->setObjectName(QStringLiteral("footnote"));
    footnote->setGeometry(frame(height, 24, 24, 372, 40));
    footnote->setWordWrap(true);
    footnote->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    footnote->setFont(sized(QApplication::font(), 11));
    colour(footnote, 0.3);

    if (QScreen* screen = QGuiApplication::primaryScreen()) {
      window_->move(screen->availableGeometry().center() - window_->rect().center());
    }
  }

  void listen(Handlers handlers) override { handlers_ = std::move(handlers); }

  void bringToFront() override {
    window_->show();
    window_->raise();
    window_->activateWindow();
  }

  void close() override { window_->close(); }

  std::string code() const override { return code_->text().toStdString(); }
  void setCode(const std::string& text) override { code_->setText(qt(text)); }
  void setCodeEnabled(bool enabled) override { code_->setEnabled(enabled); }
  void setExplain(const std::string& text) override { explain_->setText(qt(text)); }
  void setButton(const std::string& title, bool enabled) override {
    go_->setText(qt(title));
    go_->setEnabled(enabled);
  }

  std::unique_ptr<TermsView> openSheet(const std::string& wiring,
                                       TermsView::Handlers handlers) override {
    auto* sheet = new TermsSheet(window_.get(), wiring, std::move(handlers));
    sheet->setObjectName(QStringLiteral("terms"));
    sheet->show();
    sheet->raise();
    sheet->activateWindow();
    return std::make_unique<QtTermsView>(sheet);
  }

 private:
  void press() {
    if (go_->isEnabled() && handlers_.pressed) handlers_.pressed();
  }

  std::unique_ptr<SetupWindowWidget> window_;
  QLabel* explain_ = nullptr;
  QLineEdit* code_ = nullptr;
  QPushButton* go_ = nullptr;
  Handlers handlers_;
};

}  // namespace

std::unique_ptr<SetupView> Ui::makeSetupView() {
  // Windows need the widget application; quendrelctl's plain event loop has none.
  if (!qobject_cast<QApplication*>(QCoreApplication::instance())) return nullptr;
  return std::make_unique<QtSetupView>();
}

}  // namespace platform

#include "qt_setup.moc"
