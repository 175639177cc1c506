// The smallest Qt program with an icon in the system tray and a menu: the baseline for
// launching into the tray and for the memory of an idle tray program.
#include <QApplication>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QSystemTrayIcon>

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  app.setQuitOnLastWindowClosed(false);
  QPixmap pixmap(22, 22);
  pixmap.fill(Qt::transparent);
  {
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(Qt::black, 3));
    painter.drawEllipse(3, 3, 16, 16);
  }
  QMenu menu;
  menu.addAction("Running");
  menu.addSeparator();
  QObject::connect(menu.addAction("Quit"), &QAction::triggered, &app, &QApplication::quit);
  QSystemTrayIcon icon{QIcon(pixmap)};
  icon.setContextMenu(&menu);
  icon.show();
  return app.exec();
}
