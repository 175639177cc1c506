#include "platform/QtUi.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QCursor>
#include <QDesktopServices>
#include <QIcon>
#include <QIconEngine>
#include <QKeySequence>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QUrl>
#include <algorithm>
#include <cmath>
#include <map>

#include "platform/LoopImpl.h"
#include "platform/Painting.h"
#include "platform/PanelWatch.h"

namespace Platform {
namespace {

// Menu and button titles are plain text: an ampersand is shown, not made a mnemonic, and a
// tab would start the shortcut column of a menu line.
QString plainTitle(const std::string& title) {
  return QString::fromStdString(title).replace('&', QStringLiteral("&&")).replace('\t', ' ');
}

// The knob as an icon, painted at the size it is asked for when it is first asked for: a tray
// shows one size, and painting every scale up front would keep the knob from the tray the
// longer. A size between whole scales is painted at the next one up and smoothed down.
class KnobEngine : public QIconEngine {
 public:
  KnobEngine(Drawing drawing, Colour ink) : drawing_(std::move(drawing)), ink_(ink) {}

  QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
    const int pixels = std::max(1, std::min(size.width(), size.height()));
    auto found = painted_.find(pixels);
    if (found == painted_.end()) {
      const int scale = std::max(1, static_cast<int>(std::ceil(pixels / drawing_.side)));
      QImage image = Platform::paint(drawing_, scale, ink_);
      if (image.width() != pixels) {
        image = image.scaled(pixels, pixels, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
      }
      found = painted_.emplace(pixels, QPixmap::fromImage(image)).first;
    }
    if (mode == QIcon::Normal) return found->second;
    // Disabled and selected forms as the style makes them from the plain one.
    return QIcon(found->second).pixmap(size, mode, state);
  }

  void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State state) override {
    const qreal ratio = painter->device() ? painter->device()->devicePixelRatioF() : 1;
    painter->drawPixmap(rect, pixmap(rect.size() * ratio, mode, state));
  }

  QSize actualSize(const QSize& size, QIcon::Mode, QIcon::State) override {
    const int pixels = std::min(size.width(), size.height());
    return {pixels, pixels};
  }

  QIconEngine* clone() const override { return new KnobEngine(drawing_, ink_); }
  QString key() const override { return QStringLiteral("QuendrelKnob"); }

 private:
  Drawing drawing_;
  Colour ink_;
  std::map<int, QPixmap> painted_;
};

QIcon knobIcon(const Drawing& drawing, Colour ink) {
  QIcon icon(new KnobEngine(drawing, ink));  // the icon owns its engine
  // A template image: the shape counts, the colour is the panel's. Drawn in the panel's ink
  // here, and marked for the systems that recolour such images themselves.
  icon.setIsMask(true);
  return icon;
}

class TrayItem : public StatusItem {
 public:
  TrayItem(const Drawing& icon, const std::string& description, std::vector<MenuLine> lines)
      : menu_(std::make_unique<QMenu>()),
        tray_(std::make_unique<QSystemTrayIcon>()),
        icon_(icon),
        panel_([this](Colour ink) { tray_->setIcon(knobIcon(icon_, ink)); }) {
    for (std::size_t i = 0; i < lines.size(); ++i) {
      MenuLine& line = lines[i];
      QAction* action = line.separator ? menu_->addSeparator() : menu_->addAction(QString());
      if (!line.separator) {
        action->setText(plainTitle(line.title));
        action->setEnabled(line.enabled);
        if (!line.key.empty()) {
          action->setShortcut(
              QKeySequence(QStringLiteral("Ctrl+") + QString::fromStdString(line.key).toUpper()));
        }
        // Run the line's work once the menu has closed, so an alert it opens is not
        // nested inside the menu's own event handling.
        QObject::connect(action, &QAction::triggered, menu_.get(), [this, i] {
          QMetaObject::invokeMethod(
              menu_.get(),
              [this, i] {
                auto work = handlers_[i];
                if (work) work();
              },
              Qt::QueuedConnection);
        });
      }
      actions_.push_back(action);
      titles_.push_back(line.separator ? std::string() : line.title);
      handlers_.push_back(std::move(line.action));
    }
    tray_->setIcon(knobIcon(icon_, panel_.ink()));
    tray_->setToolTip(QString::fromStdString(description));
    tray_->setContextMenu(menu_.get());
    // A plain click opens the menu too, as a menu-bar item does.
    QObject::connect(tray_.get(), &QSystemTrayIcon::activated, menu_.get(),
                     [this](QSystemTrayIcon::ActivationReason reason) {
                       if (reason == QSystemTrayIcon::Trigger) menu_->popup(QCursor::pos());
                     });
    tray_->show();
  }

  void setTitle(std::size_t line, const std::string& title) override {
    if (!isLine(line)) return;
    titles_[line] = title;
    actions_[line]->setText(plainTitle(title));
  }

  void setEnabled(std::size_t line, bool enabled) override {
    if (isLine(line)) actions_[line]->setEnabled(enabled);
  }

  void setAction(std::size_t line, std::function<void()> action) override {
    if (isLine(line)) handlers_[line] = std::move(action);
  }

  std::string title(std::size_t line) const override {
    return line < titles_.size() ? titles_[line] : std::string();
  }

  bool enabled(std::size_t line) const override {
    return isLine(line) && actions_[line]->isEnabled();
  }

 private:
  bool isLine(std::size_t line) const {
    return line < actions_.size() && !actions_[line]->isSeparator();
  }

  // The menu outlives the tray icon that shows it; the actions are the menu's children.
  std::unique_ptr<QMenu> menu_;
  std::unique_ptr<QSystemTrayIcon> tray_;
  Drawing icon_;
  // Redraws the knob when the panel's colour changes.
  PanelWatch panel_;
  std::vector<QAction*> actions_;
  std::vector<std::string> titles_;
  std::vector<std::function<void()>> handlers_;
};

}  // namespace

WidgetLoop::WidgetLoop(int& argc, char** argv)
    : EventLoop([&] {
        auto impl = std::make_unique<Impl>();
        auto app = std::make_unique<QApplication>(argc, argv);
        app->setQuitOnLastWindowClosed(false);
        impl->app = std::move(app);
        return impl;
      }()) {}

bool QtUi::hasMenuBar() {
  return QSystemTrayIcon::isSystemTrayAvailable();
}

std::unique_ptr<StatusItem> QtUi::makeStatusItem(const Drawing& icon,
                                                 const std::string& description,
                                                 std::vector<MenuLine> menu) {
  return std::make_unique<TrayItem>(icon, description, std::move(menu));
}

int QtUi::run(const Alert& alert) {
  QMessageBox box;
  box.setIcon(alert.style == AlertStyle::warning ? QMessageBox::Warning : QMessageBox::Information);
  box.setTextFormat(Qt::PlainText);
  box.setText(QString::fromStdString(alert.message));
  box.setInformativeText(QString::fromStdString(alert.informative));
  if (auto* label = box.findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel"))) {
    label->setTextFormat(Qt::PlainText);
  }

  const std::vector<std::string> titles =
      alert.buttons.empty() ? std::vector<std::string>{"OK"} : alert.buttons;
  std::vector<QPushButton*> buttons;
  for (const std::string& title : titles) {
    // Action buttons keep the order they were added in, and none of them is made the
    // default behind our back (the message box favours the first accepting button).
    QPushButton* button = box.addButton(plainTitle(title), QMessageBox::ActionRole);
    // A focused auto-default button would answer Return itself; only the default may.
    button->setAutoDefault(false);
    button->setDefault(false);
    buttons.push_back(button);
  }
  if (alert.returnKey && *alert.returnKey < buttons.size()) {
    box.setDefaultButton(buttons[*alert.returnKey]);
  }
  // Without an Escape button, Escape and the window's close button do nothing when there
  // are two or more buttons; a single button is what Escape closes the box as.
  if (alert.escapeKey && *alert.escapeKey < buttons.size()) {
    box.setEscapeButton(buttons[*alert.escapeKey]);
  }

  box.show();
  box.raise();
  box.activateWindow();
  box.exec();

  const auto chosen = std::find(buttons.begin(), buttons.end(), box.clickedButton());
  if (chosen != buttons.end()) return firstButton + static_cast<int>(chosen - buttons.begin());
  // Closed from outside without a choice: the Escape button's answer, or none of them.
  if (alert.escapeKey && *alert.escapeKey < buttons.size()) {
    return firstButton + static_cast<int>(*alert.escapeKey);
  }
  return firstButton + static_cast<int>(buttons.size());
}

void QtUi::copy(const std::string& text) {
  QClipboard* clipboard = QGuiApplication::clipboard();
  const QString value = QString::fromStdString(text);
  clipboard->setText(value, QClipboard::Clipboard);
  if (clipboard->supportsSelection()) clipboard->setText(value, QClipboard::Selection);
}

void QtUi::open(const std::string& address) {
  QDesktopServices::openUrl(QUrl(QString::fromStdString(address)));
}

std::unique_ptr<SetupView> QtUi::makeSetupView() {
  return makeQtSetupView();
}

}  // namespace Platform
