// Messages from scripts, the service and the system are shown as the text they are, never
// read as markup.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>

#include "platform/QtUi.h"
#include "platform/SetupView.h"

using namespace Platform;

namespace {

QWidget* setupWindow() {
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    if (widget->objectName() == QStringLiteral("setup")) return widget;
  }
  return nullptr;
}

}  // namespace

TEST(PlainText, TheSetupWindowShowsAMessageThatLooksLikeMarkupAsItIs) {
  QtUi ui;
  auto view = ui.makeSetupView();
  ASSERT_NE(view, nullptr);
  QWidget* window = setupWindow();
  ASSERT_NE(window, nullptr);
  auto* explain = window->findChild<QLabel*>(QStringLiteral("explain"));
  ASSERT_NE(explain, nullptr);

  const std::string message = "<b>setup.sh</b>: could not write <i>presets</i> &amp; quit";
  view->setExplain(message);
  EXPECT_EQ(explain->textFormat(), Qt::PlainText);
  EXPECT_EQ(explain->text().toStdString(), message);
}
