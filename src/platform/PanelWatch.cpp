#include "platform/PanelWatch.h"

#include <xcb/xcb.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>
#include <QEvent>
#include <QFileInfo>
#include <QGuiApplication>
#include <QPalette>
#include <QSocketNotifier>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "platform/PanelInk.h"

namespace Platform {
namespace {

const QString portalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString portalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString portalSettings = QStringLiteral("org.freedesktop.portal.Settings");
const QString appearance = QStringLiteral("org.freedesktop.appearance");
const QString colourSchemeKey = QStringLiteral("color-scheme");

Colour colour(const QColor& c) {
  return {static_cast<std::uint8_t>(c.red()), static_cast<std::uint8_t>(c.green()),
          static_cast<std::uint8_t>(c.blue())};
}

// A portal answers with a variant, some of them with a variant inside a variant.
std::optional<std::uint32_t> schemeIn(QVariant value) {
  while (value.userType() == qMetaTypeId<QDBusVariant>()) {
    value = value.value<QDBusVariant>().variant();
  }
  bool ok = false;
  const uint scheme = value.toUInt(&ok);
  return ok ? std::optional<std::uint32_t>(scheme) : std::nullopt;
}

// A session bus that is there already: never one started on our behalf.
bool hasSessionBus() {
  if (!qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS")) return true;
  const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
  return !runtime.isEmpty() && QFileInfo::exists(runtime + QStringLiteral("/bus"));
}

// The tray manager's colours, on a connection of our own to the X server: the manager is the
// owner of the selection _NET_SYSTEM_TRAY_S<screen>; a new one announces itself with a MANAGER
// message to the root window; the colours are a property of its window.
class TrayColours {
 public:
  explicit TrayColours(std::function<void()> changed) : changed_(std::move(changed)) {
    int screenNumber = 0;
    connection_ = xcb_connect(nullptr, &screenNumber);
    if (xcb_connection_has_error(connection_)) return;
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection_));
    for (int i = 0; i < screenNumber && screens.rem > 0; ++i) xcb_screen_next(&screens);
    if (screens.rem == 0) return;
    const xcb_window_t root = screens.data->root;
    selection_ = atom("_NET_SYSTEM_TRAY_S" + std::to_string(screenNumber));
    colours_ = atom("_NET_SYSTEM_TRAY_COLORS");
    manager_ = atom("MANAGER");
    const std::uint32_t rootEvents = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    xcb_change_window_attributes(connection_, root, XCB_CW_EVENT_MASK, &rootEvents);
    findManager();
    notifier_ = std::make_unique<QSocketNotifier>(xcb_get_file_descriptor(connection_),
                                                  QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, notifier_.get(),
                     [this] { handleEvents(); });
    handleEvents();
  }

  ~TrayColours() {
    notifier_.reset();
    xcb_disconnect(connection_);
  }

  TrayColours(const TrayColours&) = delete;
  TrayColours& operator=(const TrayColours&) = delete;

  const std::vector<std::uint32_t>& values() const { return values_; }

 private:
  xcb_atom_t atom(const std::string& name) {
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
        connection_,
        xcb_intern_atom(connection_, 0, static_cast<std::uint16_t>(name.size()), name.data()),
        nullptr);
    const xcb_atom_t found = reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
    std::free(reply);
    return found;
  }

  // Watches the current manager's window (its properties, its end) and reads its colours.
  void findManager() {
    xcb_get_selection_owner_reply_t* reply = xcb_get_selection_owner_reply(
        connection_, xcb_get_selection_owner(connection_, selection_), nullptr);
    manager_window_ = reply ? reply->owner : xcb_window_t{XCB_WINDOW_NONE};
    std::free(reply);
    if (manager_window_ != XCB_WINDOW_NONE) {
      const std::uint32_t events = XCB_EVENT_MASK_PROPERTY_CHANGE | XCB_EVENT_MASK_STRUCTURE_NOTIFY;
      xcb_change_window_attributes(connection_, manager_window_, XCB_CW_EVENT_MASK, &events);
    }
    readColours();
  }

  void readColours() {
    std::vector<std::uint32_t> read;
    if (manager_window_ != XCB_WINDOW_NONE) {
      xcb_get_property_reply_t* reply = xcb_get_property_reply(
          connection_,
          xcb_get_property(connection_, 0, manager_window_, colours_, XCB_ATOM_CARDINAL, 0, 12),
          nullptr);
      if (reply && reply->format == 32) {
        const auto* data = static_cast<const std::uint32_t*>(xcb_get_property_value(reply));
        read.assign(data, data + xcb_get_property_value_length(reply) / 4);
      }
      std::free(reply);
    }
    if (read != values_) {
      values_ = std::move(read);
      changed_();
    }
  }

  void handleEvents() {
    while (xcb_generic_event_t* event = xcb_poll_for_event(connection_)) {
      switch (event->response_type & 0x7f) {
        case XCB_CLIENT_MESSAGE: {
          const auto* message = reinterpret_cast<xcb_client_message_event_t*>(event);
          if (message->type == manager_ && message->data.data32[1] == selection_) findManager();
          break;
        }
        case XCB_PROPERTY_NOTIFY: {
          const auto* notify = reinterpret_cast<xcb_property_notify_event_t*>(event);
          if (notify->window == manager_window_ && notify->atom == colours_) readColours();
          break;
        }
        case XCB_DESTROY_NOTIFY:
          if (reinterpret_cast<xcb_destroy_notify_event_t*>(event)->window == manager_window_) {
            findManager();
          }
          break;
        default:
          break;
      }
      std::free(event);
    }
    xcb_flush(connection_);
    // A connection the server has closed stays readable: stop listening, keep what was read.
    if (xcb_connection_has_error(connection_)) notifier_->setEnabled(false);
  }

  std::function<void()> changed_;
  xcb_connection_t* connection_ = nullptr;
  std::unique_ptr<QSocketNotifier> notifier_;
  xcb_window_t manager_window_ = XCB_WINDOW_NONE;
  xcb_atom_t selection_ = XCB_ATOM_NONE;
  xcb_atom_t colours_ = XCB_ATOM_NONE;
  xcb_atom_t manager_ = XCB_ATOM_NONE;
  std::vector<std::uint32_t> values_;
};

}  // namespace

class PanelWatch::Impl : public QObject {
  Q_OBJECT

 public:
  explicit Impl(std::function<void(Colour)> changed) : changed_(std::move(changed)) {
    readPalette();
    ink_ = inkFor(hints_);
    qApp->installEventFilter(this);
    const QString platform = QGuiApplication::platformName();
    // Without a display of its own (offscreen, minimal) there is no panel, only the palette.
    if (platform == QStringLiteral("offscreen") || platform == QStringLiteral("minimal")) return;
    if (platform == QStringLiteral("xcb")) {
      tray_ = std::make_unique<TrayColours>([this] {
        if (!tray_) return;  // still being made: read below
        hints_.trayColours = tray_->values();
        update();
      });
      hints_.trayColours = tray_->values();
      ink_ = inkFor(hints_);
    }
    askPortal();
  }

  Colour ink() const { return ink_; }

  bool eventFilter(QObject* watched, QEvent* event) override {
    if (watched == qApp && event->type() == QEvent::ApplicationPaletteChange) {
      readPalette();
      update();
    }
    return false;
  }

 private slots:
  // SettingChanged(s group, s key, v value); taken as the message, whatever the value's type.
  void settingChanged(const QDBusMessage& message) {
    const QList<QVariant> arguments = message.arguments();
    if (arguments.size() < 3 || arguments[0].toString() != appearance ||
        arguments[1].toString() != colourSchemeKey) {
      return;
    }
    hints_.colourScheme = schemeIn(arguments[2]);
    update();
  }

 private:
  void readPalette() {
    const QPalette palette = QGuiApplication::palette();
    hints_.window = colour(palette.color(QPalette::Window));
    hints_.windowText = colour(palette.color(QPalette::WindowText));
  }

  // Asks once without waiting for the answer, and listens for changes.
  void askPortal() {
    if (!hasSessionBus()) return;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return;
    bus.connect(portalService, portalPath, portalSettings, QStringLiteral("SettingChanged"), this,
                SLOT(settingChanged(QDBusMessage)));
    QDBusMessage read = QDBusMessage::createMethodCall(portalService, portalPath, portalSettings,
                                                       QStringLiteral("Read"));
    read << appearance << colourSchemeKey;
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(read), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
      const QDBusPendingReply<QDBusVariant> reply = *w;
      // A change signalled meanwhile is newer than this answer.
      if (!reply.isError() && !hints_.colourScheme) {
        hints_.colourScheme = schemeIn(QVariant::fromValue(reply.value()));
        update();
      }
      w->deleteLater();
    });
  }

  void update() {
    const Colour ink = inkFor(hints_);
    if (ink == ink_) return;
    ink_ = ink;
    changed_(ink);
  }

  std::function<void(Colour)> changed_;
  PanelHints hints_;
  Colour ink_;
  std::unique_ptr<TrayColours> tray_;
};

PanelWatch::PanelWatch(std::function<void(Colour)> changed)
    : impl_(std::make_unique<Impl>(std::move(changed))) {}

PanelWatch::~PanelWatch() = default;

Colour PanelWatch::ink() const {
  return impl_->ink();
}

}  // namespace Platform

#include "PanelWatch.moc"
