// The Qt user interface: which button Return and Escape answer in an alert, a status item's
// menu lines, and the knob's ink after the palette.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QMessageBox>
#include <QPalette>
#include <QPushButton>
#include <QTimer>

#include "platform/PanelInk.h"
#include "platform/PanelWatch.h"
#include "platform/QtUi.h"

using namespace Platform;

namespace {

// What the test does to the alert once it is up: keys pressed in turn, then, if the box is
// still open, a click on one button so that the run ends either way.
struct Play {
  std::vector<int> keys;
  int clickAfterwards = -1;
};

void press(QWidget* target, int key) {
  QKeyEvent down(QEvent::KeyPress, key, Qt::NoModifier);
  QKeyEvent up(QEvent::KeyRelease, key, Qt::NoModifier);
  QApplication::sendEvent(target, &down);
  QApplication::sendEvent(target, &up);
}

void playWhenUp(Play play) {
  auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
  if (!box) {
    QTimer::singleShot(10, [play] { playWhenUp(play); });
    return;
  }
  for (int key : play.keys) {
    if (!box->isVisible()) return;
    // Keys go where the keyboard would send them: the focused button, then up to the box.
    press(box->focusWidget() ? box->focusWidget() : box, key);
  }
  if (box->isVisible() && play.clickAfterwards >= 0) {
    box->buttons().at(play.clickAfterwards)->click();
  }
}

int answer(const Alert& alert, Play play) {
  QTimer::singleShot(0, [play] { playWhenUp(play); });
  QtUi ui;
  return ui.run(alert);
}

}  // namespace

TEST(QtUi, ReturnAndEscapeAnswerOnlyTheButtonsTheyAreGiven) {
  Alert wayIn;
  wayIn.buttons = {"Open the console", "Show the passphrase", "Done", "Uninstall Quendrel…",
                   "Quit Quendrel"};
  wayIn.escapeKey = 2;
  Alert keepOpen;
  keepOpen.style = AlertStyle::warning;
  keepOpen.message = "Quendrel's console is in use";
  keepOpen.buttons = {"Quit Anyway", "Cancel"};
  keepOpen.returnKey = keepOpen.escapeKey = 1;
  Alert noReturn = keepOpen, neither = keepOpen, ok;
  noReturn.returnKey.reset();
  neither.returnKey.reset();
  neither.escapeKey.reset();
  const struct {
    Alert alert;
    Play play;
    int answer;
  } cases[] = {
      {wayIn, {{Qt::Key_Return}}, firstButton},
      {wayIn, {{Qt::Key_Escape}}, firstButton + 2},
      {keepOpen, {{Qt::Key_Return}}, firstButton + 1},
      {keepOpen, {{Qt::Key_Enter}}, firstButton + 1},
      // Had Return chosen "Quit Anyway", Escape would not be reached.
      {noReturn, {{Qt::Key_Return, Qt::Key_Escape}}, firstButton + 1},
      // Neither key chooses: only the click ends the run.
      {neither, {{Qt::Key_Return, Qt::Key_Escape}, 1}, firstButton + 1},
      {ok, {{Qt::Key_Return}}, firstButton},  // no buttons: one OK
      {ok, {{Qt::Key_Escape}}, firstButton},
  };
  for (const auto& c : cases) EXPECT_EQ(answer(c.alert, c.play), c.answer) << c.alert.message;
}

TEST(QtUi, StatusItemMenuChangesInPlace) {
  int chosen = 0;
  std::vector<MenuLine> lines(4);
  lines[0] = {"Checking…", false, false, {}, {}};
  lines[1].separator = true;
  lines[2] = {"Fish & Chips — now", false, true, [&chosen] { chosen = 2; }, {}};
  lines[3] = {"Quit Quendrel", false, true, [&chosen] { chosen = 3; }, "q"};
  QtUi ui;
  auto item = ui.makeStatusItem(Drawing{}, "Quendrel", std::move(lines));

  QMenu* menu = nullptr;
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    if (auto* found = qobject_cast<QMenu*>(widget)) menu = found;
  }
  ASSERT_NE(menu, nullptr);
  const QList<QAction*> actions = menu->actions();
  ASSERT_EQ(actions.size(), 4);
  EXPECT_TRUE(actions[1]->isSeparator());
  EXPECT_EQ(actions[0]->text(), QStringLiteral("Checking…"));
  EXPECT_FALSE(actions[0]->isEnabled());
  EXPECT_EQ(actions[2]->text(), QStringLiteral("Fish && Chips — now"));
  EXPECT_EQ(item->title(2), "Fish & Chips — now");
  EXPECT_EQ(actions[3]->shortcut(), QKeySequence(QStringLiteral("Ctrl+Q")));

  item->setTitle(0, "Running — 1.4.2");
  item->setEnabled(3, false);
  EXPECT_EQ(actions[0]->text(), QStringLiteral("Running — 1.4.2"));
  EXPECT_EQ(item->title(0), "Running — 1.4.2");
  EXPECT_FALSE(item->enabled(3));
  EXPECT_FALSE(actions[3]->isEnabled());

  // A chosen line's work runs from the event loop, with the action it has by then.
  item->setAction(2, [&chosen] { chosen = 20; });
  actions[2]->trigger();
  EXPECT_EQ(chosen, 0);
  QApplication::processEvents();
  EXPECT_EQ(chosen, 20);
}

TEST(QtUi, TheKnobsInkFollowsThePalette) {
  std::vector<Colour> inks;
  PanelWatch watch([&inks](Colour ink) { inks.push_back(ink); });
  EXPECT_EQ(watch.ink(), black);
  const QPalette light = QApplication::palette();
  QPalette dark = light;
  dark.setColor(QPalette::Window, QColor(40, 40, 40));
  dark.setColor(QPalette::WindowText, QColor(230, 230, 230));
  QApplication::setPalette(dark);
  QApplication::setPalette(light);
  EXPECT_EQ(inks, (std::vector<Colour>{white, black}));
}
