// A desktop settings portal for the end-to-end tests, on the session bus it is given: it
// answers Read for org.freedesktop.appearance color-scheme with the number it was started
// with; Set (a method of its own, for the test to call with dbus-send) changes the answer and
// announces it with SettingChanged. Prints "ready" once it owns its name.
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusVariant>
#include <cstdio>

class Settings : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.Settings")

 public:
  explicit Settings(uint scheme) : scheme_(scheme) {}

 public slots:
  // Wrapped twice, as the portal's Read has always answered.
  QDBusVariant Read(const QString& group, const QString& key) {
    if (group != QStringLiteral("org.freedesktop.appearance") || key != "color-scheme")
      return QDBusVariant(QString());
    return QDBusVariant(QVariant::fromValue(QDBusVariant(scheme_)));
  }

  void Set(uint scheme) {
    scheme_ = scheme;
    emit SettingChanged(QStringLiteral("org.freedesktop.appearance"),
                        QStringLiteral("color-scheme"), QDBusVariant(scheme));
  }

 signals:
  void SettingChanged(const QString& group, const QString& key, const QDBusVariant& value);

 private:
  uint scheme_;
};

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  Settings settings(argc > 1 ? QString(argv[1]).toUInt() : 0);
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.registerObject(QStringLiteral("/org/freedesktop/portal/desktop"), &settings,
                          QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals) ||
      !bus.registerService(QStringLiteral("org.freedesktop.portal.Desktop")))
    return 1;
  std::puts("ready");
  std::fflush(stdout);
  return app.exec();
}

#include "portal.moc"
