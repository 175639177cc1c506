// The Qt user interface: which button Return and Escape answer in an alert, a status item's
// menu lines, messages shown as the plain text they are, and the knob's ink after the palette.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QTimer>

#include "platform/PanelInk.h"
#include "platform/PanelWatch.h"
#include "platform/QtUi.h"
#include "platform/SetupView.h"

using namespace Platform;

namespace {

// Presses the keys in turn where the keyboard would send them once the alert is up, then
// closes it from outside if it is still open, so that the run ends either way.
void pressWhenUp(std::vector<int> keys) {
  auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
  if (!box) return QTimer::singleShot(10, [keys] { pressWhenUp(keys); });
  for (int key : keys) {
    QKeyEvent down(QEvent::KeyPress, key, Qt::NoModifier), up(QEvent::KeyRelease, key, {});
    QWidget* target = box->focusWidget() ? box->focusWidget() : box;
    if (box->isVisible()) QApplication::sendEvent(target, &down);
    if (box->isVisible()) QApplication::sendEvent(target, &up);
  }
  if (box->isVisible()) box->done(0);
}

}  // namespace

TEST(QtUi, ReturnAndEscapeAnswerOnlyTheButtonsTheyAreGiven) {
  Alert wayIn{AlertStyle::informational, "", "", {"Open", "Show", "Done", "Uninstall"}, 0, 2};
  Alert keepOpen = Alert::confirmation("in use", "", "Quit Anyway", "Cancel");
  Alert noReturn = keepOpen, neither = keepOpen;
  noReturn.returnKey.reset();
  neither.returnKey = neither.escapeKey = std::nullopt;
  const std::tuple<Alert, std::vector<int>, int> cases[] = {
      {wayIn, {Qt::Key_Return}, 0},
      {wayIn, {Qt::Key_Escape}, 2},
      {keepOpen, {Qt::Key_Return}, 1},
      {noReturn, {Qt::Key_Return, Qt::Key_Escape}, 1},  // Return chose nothing
      {neither, {Qt::Key_Return, Qt::Key_Escape}, 2},   // closed without a choice
      {Alert{}, {Qt::Key_Escape}, 0},                   // no buttons: one OK
  };
  for (const auto& [alert, keys, answer] : cases) {
    QTimer::singleShot(0, [keys] { pressWhenUp(keys); });
    EXPECT_EQ(QtUi().run(alert), firstButton + answer) << alert.buttons.size() << " buttons";
  }
}

TEST(QtUi, MenuLinesShowTheirTitlesAndRunFromTheLoopAndTheInkFollowsThePalette) {
  int chosen = 0;
  QtUi ui;
  auto item = ui.makeStatusItem(Drawing{}, "Quendrel",
                                {{"Fish & Chips", false, true, [&chosen] { chosen = 1; }, "q"}});
  QMenu* menu = nullptr;
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    if (auto* found = qobject_cast<QMenu*>(widget)) menu = found;
  }
  ASSERT_TRUE(menu && menu->actions().size() == 1);
  QAction* action = menu->actions()[0];
  EXPECT_EQ(std::make_tuple(action->text(), item->title(0), action->shortcut()),
            std::make_tuple(QString("Fish && Chips"), std::string("Fish & Chips"),
                            QKeySequence("Ctrl+Q")));
  // A chosen line's work runs from the event loop, with the action it has by then.
  item->setAction(0, [&chosen] { chosen = 2; });
  action->trigger();
  EXPECT_EQ(chosen, 0);
  QApplication::processEvents();
  EXPECT_EQ(chosen, 2);

  std::vector<Colour> inks;
  PanelWatch watch([&inks](Colour ink) { inks.push_back(ink); });
  const QPalette light = QApplication::palette();
  QPalette dark = light;
  dark.setColor(QPalette::Window, QColor(40, 40, 40));
  dark.setColor(QPalette::WindowText, QColor(230, 230, 230));
  QApplication::setPalette(dark);
  QApplication::setPalette(light);
  EXPECT_EQ(inks, (std::vector<Colour>{white, black}));
}

TEST(QtUi, TheSetupWindowShowsAMessageThatLooksLikeMarkupAsItIs) {
  QtUi ui;
  auto view = ui.makeSetupView();
  QLabel* explain = nullptr;
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    if (widget->objectName() == "setup") explain = widget->findChild<QLabel*>("explain");
  }
  ASSERT_TRUE(view && explain);
  const std::string message = "<b>setup.sh</b>: could not write <i>presets</i> &amp; quit";
  view->setExplain(message);
  EXPECT_EQ(std::make_pair(explain->textFormat(), explain->text().toStdString()),
            std::make_pair(Qt::PlainText, message));
}
