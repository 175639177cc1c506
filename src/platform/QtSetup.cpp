// The setup window drawn with Qt Widgets, and the terms sheet over it from its own process.
#include <algorithm>

#include <QApplication>
#include <QCloseEvent>
#include <QEventLoop>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QTimer>

#include "platform/Computer.h"
#include "platform/SetupView.h"
#include "platform/Ui.h"

namespace Platform {
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

// The frames are sized for the Mac's fonts; where the fonts here are wider, a wrapped text is
// set smaller until it fits its frame, rather than losing its last line.
void fit(QLabel* label, double points) {
  constexpr double smallest = 9, step = 0.5;
  QFont font = label->font();
  for (font.setPointSizeF(points); font.pointSizeF() > smallest;
       font.setPointSizeF(font.pointSizeF() - step)) {
    const QRect needed = QFontMetrics(font).boundingRect(
        QRect(0, 0, label->width(), 1 << 16), Qt::TextWordWrap | label->alignment(), label->text());
    if (needed.height() <= label->height()) break;
  }
  label->setFont(font);
}

// How far the terms sheet (TermsSheet.cpp) reaches below its window's top edge.
constexpr int sheetHeight = 580;

// Moves the window up as far as its sheet needs to end within the screen's available area, as
// a window on the Mac does when its sheet would leave the screen.
void makeRoomForSheet(QWidget* window) {
  const QScreen* screen = window->screen();
  if (!screen) return;
  const QRect room = screen->availableGeometry();
  const QRect frame = window->frameGeometry();
  // The sheet's frame is taken to add what the window's own adds to its height.
  const int reach = sheetHeight + frame.height() - window->height();
  const int top = std::max(room.top(), std::min(frame.top(), room.bottom() + 1 - reach));
  if (top != frame.top()) window->move(frame.left(), top);
}

// The terms sheet, drawn by the quendrel-terms program beside this one: the web engine is
// loaded in that process only while the sheet is up, and goes with it. The two speak one
// JSON object per line (see TermsSheet.cpp).
class TermsProcess : public QObject {
  Q_OBJECT
  Q_PROPERTY(bool open READ open)

 public:
  TermsProcess(QWidget* over, const std::string& wiring, TermsView::Handlers handlers)
      : QObject(over), over_(over), handlers_(std::move(handlers)) {
    setObjectName(QStringLiteral("terms"));
    process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    connect(&process_, &QProcess::readyReadStandardOutput, this, [this] { read(); });
    connect(&process_, &QProcess::finished, this, [this] { ended(); });
    connect(&process_, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
      if (error == QProcess::FailedToStart) ended();
    });
    makeRoomForSheet(over);
    const QRect frame = over->frameGeometry();
    process_.start(QCoreApplication::applicationDirPath() + QStringLiteral("/quendrel-terms"),
                   QStringList());
    send({{"do", "open"},
          {"wiring", qt(wiring)},
          {"title", over->windowTitle()},
          {"parent", static_cast<double>(over->winId())},
          {"over", QJsonArray{frame.x(), frame.y(), frame.width(), frame.height()}}});
    over->setEnabled(false);  // the window waits for its sheet
  }

  bool open() const { return open_; }

  void load(const QString& address, double timeout, bool file) {
    file_ = file;
    send({{"do", "load"}, {"url", address}, {"timeout", timeout}, {"file", file}});
  }
  void setAgreeEnabled(bool enabled) { send({{"do", "agree"}, {"enabled", enabled}}); }
  void setCount(const QString& text) { send({{"do", "count"}, {"text", text}}); }

  // Closes the sheet: nothing reaches the handlers from now on, and the program ends once its
  // input does (or is ended if it does not). This object goes with it.
  void close() {
    if (!open_) return;
    open_ = false;
    handlers_ = {};
    if (over_) over_->setEnabled(true);
    if (process_.state() == QProcess::NotRunning) return deleteLater();
    process_.closeWriteChannel();
    constexpr int grace = 5000;
    QTimer::singleShot(grace, this, [this] { process_.kill(); });
  }

  // A question about the sheet, as a test asks it (a command without its id), and the reply.
  Q_INVOKABLE QString ask(const QString& question) {
    QJsonObject command = QJsonDocument::fromJson(question.toUtf8()).object();
    const int id = ++asked_;
    command[QStringLiteral("id")] = id;
    send(command);
    QEventLoop loop;
    QTimer bound;
    connect(&bound, &QTimer::timeout, &loop, &QEventLoop::quit);
    connect(this, &TermsProcess::replied, &loop, [&] {
      if (replies_.contains(id)) loop.quit();
    });
    bound.start(30000);
    // The program may end while we wait, and this object with it.
    QPointer<TermsProcess> self(this);
    if (!replies_.contains(id)) loop.exec();
    if (!self) return QStringLiteral("{}");
    return QString::fromUtf8(QJsonDocument(replies_.take(id)).toJson(QJsonDocument::Compact));
  }

 signals:
  void replied();

 private:
  void send(const QJsonObject& command) {
    if (process_.state() == QProcess::NotRunning) return;
    process_.write(QJsonDocument(command).toJson(QJsonDocument::Compact) + '\n');
  }

  void read() {
    // A line is a short message; a longer one is not from the sheet and is dropped whole.
    constexpr qsizetype longest = 1 << 20;
    buffer_ += process_.readAllStandardOutput();
    for (qsizetype end; (end = buffer_.indexOf('\n')) >= 0;) {
      QByteArray line = buffer_.left(end);
      buffer_.remove(0, end + 1);
      if (skipping_) {
        skipping_ = false;
        continue;
      }
      heard(QJsonDocument::fromJson(line).object());
    }
    if (buffer_.size() > longest) {
      buffer_.clear();
      skipping_ = true;
    }
  }

  void heard(const QJsonObject& event) {
    const QString what = event.value(QStringLiteral("event")).toString();
    auto value = [&](const char* key) { return event.value(QLatin1String(key)); };
    if (what == QStringLiteral("allow")) {
      // Every question is answered, even after the sheet was closed: the program waits.
      auto allow = handlers_.allow;
      bool answer =
          allow && allow({value("url").toString().toStdString(), value("clicked").toBool()});
      send({{"do", "allowed"}, {"answer", answer}});
    } else if (what == QStringLiteral("message") || what == QStringLiteral("failed")) {
      // The sheet may have told of the page from the network before it read that we had moved
      // on to the local file: that news is stale.
      if (value("file").toBool() != file_) return;
      if (what == QStringLiteral("failed")) return call(handlers_.failed);
      if (auto message = handlers_.message) message(value("body").toString().toStdString());
    } else if (what == QStringLiteral("agreed")) {
      call(handlers_.agreed);
    } else if (what == QStringLiteral("declined")) {
      call(handlers_.declined);
    } else if (what == QStringLiteral("reply")) {
      replies_.insert(value("id").toInt(), event);
      emit replied();
    }
  }

  // The program ended, or could not start. While the sheet was up, the window comes back as
  // it was and nothing is set up without an agreement: a program that ended by itself
  // cancelled, one that could not start or stopped unexpectedly broke the sheet. Told once
  // the sheet is made, even when the program fails at once.
  void ended() {
    QTimer::singleShot(0, this, [this] {
      if (!open_) return deleteLater();
      const QString why = trouble();
      auto declined = handlers_.declined;
      auto broken = handlers_.broken;
      close();
      if (why.isEmpty()) {
        if (declined) declined();
      } else if (broken) {
        broken(why.toStdString());
      }
    });
  }

  QString trouble() const {
    if (process_.error() == QProcess::FailedToStart) {
      return QStringLiteral("the program that shows them could not start (%1)")
          .arg(process_.errorString());
    }
    if (process_.exitStatus() == QProcess::CrashExit || process_.exitCode() != 0) {
      return QStringLiteral("the program that shows them stopped unexpectedly");
    }
    return {};
  }

  // Handlers may close the sheet; the call keeps its own copy of the handler.
  static void call(const std::function<void()>& handler) {
    if (auto copy = handler) copy();
  }

  QPointer<QWidget> over_;
  TermsView::Handlers handlers_;
  QProcess process_;
  QByteArray buffer_;
  bool skipping_ = false;
  bool file_ = false;  // the document last asked for is a local file
  bool open_ = true;
  int asked_ = 0;
  QHash<int, QJsonObject> replies_;
};

class QtTermsView : public TermsView {
 public:
  explicit QtTermsView(TermsProcess* sheet) : sheet_(sheet) {}
  ~QtTermsView() override {
    if (sheet_) sheet_->close();
  }

  void load(const std::string& address, double timeout) override {
    if (sheet_) sheet_->load(qt(address), timeout, false);
  }
  void loadFile(const std::filesystem::path& file) override {
    constexpr double localTimeout = 10;
    if (sheet_) sheet_->load(qt(file.string()), localTimeout, true);
  }
  void setAgreeEnabled(bool enabled) override {
    if (sheet_) sheet_->setAgreeEnabled(enabled);
  }
  void setCount(const std::string& text) override {
    if (sheet_) sheet_->setCount(qt(text));
  }

 private:
  QPointer<TermsProcess> sheet_;
};

// The window keeps itself while a sheet is over it, as a window with a sheet does.
class SetupWindowWidget : public QWidget {
 protected:
  void closeEvent(QCloseEvent* event) override {
    for (auto* sheet : findChildren<TermsProcess*>()) {
      if (sheet->open()) return event->ignore();
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

    auto* heading = new QLabel(
        QString::fromStdString(std::string("Connect this ") + computer + " to your church"),
        window_.get());
    heading->setObjectName(QStringLiteral("heading"));
    heading->setGeometry(frame(height, 24, 178, 372, 22));
    heading->setFont(sized(QApplication::font(), 15, QFont::DemiBold));

    explain_ = new QLabel(window_.get());
    explain_->setObjectName(QStringLiteral("explain"));
    explain_->setGeometry(frame(height, 24, 126, 372, 44));
    // It shows what scripts, the service and the system said: text, never markup.
    explain_->setTextFormat(Qt::PlainText);
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
    fit(footnote, 11);
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
  void setExplain(const std::string& text) override {
    explain_->setText(qt(text));
    fit(explain_, 12);
  }
  void setButton(const std::string& title, bool enabled) override {
    go_->setText(qt(title));
    go_->setEnabled(enabled);
  }

  std::unique_ptr<TermsView> openSheet(const std::string& wiring,
                                       TermsView::Handlers handlers) override {
    return std::make_unique<QtTermsView>(
        new TermsProcess(window_.get(), wiring, std::move(handlers)));
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

std::unique_ptr<SetupView> makeQtSetupView() {
  // Windows need the widget application; quendrelctl's plain event loop has none.
  if (!qobject_cast<QApplication*>(QCoreApplication::instance())) return nullptr;
  return std::make_unique<QtSetupView>();
}

}  // namespace Platform

#include "QtSetup.moc"
