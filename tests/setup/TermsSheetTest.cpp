// The setup window and the terms sheet as Qt draws them, with the real sheet program and its
// web engine, and a terms page served from this machine.
#include <gtest/gtest.h>

#include <QApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QTest>

#include <signal.h>

#include "SetupFixture.h"
#include "platform/QtUi.h"
#include "setup/SetupWindow.h"
#include "support/LocalServer.h"

using namespace setup_testing;

namespace {

constexpr const char* termsPage = R"html(<!doctype html><meta charset="utf-8">
<main data-version="2025-04"><p class="how">Tick these in the Quendrel app.</p>
  <input type="checkbox" checked disabled><input type="checkbox" checked disabled>
  <input type="checkbox" disabled>
  <a id="privacy" href="/privacy">Privacy</a> <a id="away" href="/away" target="_blank">Away</a>
</main>
)html";

// A computer whose service is a server on this machine, and the real Qt windows.
class Sheet : public ::testing::Test {
 protected:
  // The service answers `every` to every path, or the terms page at /terms and 404 elsewhere.
  explicit Sheet(std::optional<Answer> every = {}, bool reachable = true)
      : server([every](const std::string& path) {
          return every ? *every : Answer{path == "/terms" ? 200 : 404, termsPage};
        }),
        service(reachable ? server.base() : "http://127.0.0.1:" + std::to_string(freePort())) {}

  LocalServer server;
  std::string service;
  Computer computer{service};
  Platform::WidgetLoop loop{argc, argv};
  ScriptedUi ui;  // the Qt windows
  SetupWindow setup{ui};

  QWidget* window() {
    const QWidgetList all = QApplication::topLevelWidgets();
    const auto found = std::ranges::find(all, QString("setup"), &QWidget::objectName);
    return found == all.end() ? nullptr : *found;
  }
  template <typename T = QWidget>
  T* part(const char* name) {
    return window() ? window()->findChild<T*>(name) : nullptr;
  }
  // The sheet runs in a program of its own; the test asks it about itself.
  QObject* sheet() {
    auto* s = part<QObject>("terms");
    return s && s->property("open").toBool() ? s : nullptr;
  }
  QJsonObject ask(const QJsonObject& question) {
    QString reply;
    QMetaObject::invokeMethod(
        sheet(), "ask", Q_RETURN_ARG(QString, reply),
        Q_ARG(QString, QJsonDocument(question).toJson(QJsonDocument::Compact)));
    return QJsonDocument::fromJson(reply.toUtf8()).object();
  }
  QJsonValue state(const char* what) { return ask({{"do", "state"}})[what]; }
  QJsonValue js(const QString& code) { return ask({{"do", "run"}, {"code", code}})["result"]; }

  // Types a code with letters, blanks and dashes in it, which go as they are typed, and
  // connects with Return; waits for the sheet to show `count` unless it is empty.
  void openSheet(const QString& count = "2 of 3 boxes ticked") {
    setup.show([] {});
    QTest::keyClicks(part<QLineEdit>("code"), "12 ab-3456");
    QTest::keyClick(part<QLineEdit>("code"), Qt::Key_Return);
    ASSERT_NE(sheet(), nullptr);
    ASSERT_TRUE(count.isEmpty() || showing(count));
  }
  bool showing(const QString& count) {
    return spinUntil([&] { return state("text").toString() == count; }, 30);
  }
  // The sheet has closed and its program has ended and been waited for.
  bool closed() {
    return spinUntil([&] { return window()->findChildren<QObject*>("terms").isEmpty(); }, 30);
  }
  // Back at the code, the window's message line beginning with `message`, nothing set up.
  void expectBackAtTheCode(const QString& message) {
    EXPECT_TRUE(closed()) << "the web engine goes with the sheet";
    EXPECT_TRUE(window()->isEnabled() && part<QPushButton>("go")->isEnabled() &&
                part<QLineEdit>("code")->text() == "123456")
        << "the code is there to connect again";
    EXPECT_TRUE(part<QLabel>("explain")->text().startsWith(message));
    EXPECT_FALSE(Installer::running) << "nothing is set up without an agreement";
  }
  // Set up, paired with this version of the terms.
  void expectSetUpWith(const std::string& version) {
    EXPECT_TRUE(closed());
    ASSERT_TRUE(spinUntil([&] { return part<QPushButton>("go")->text() == "Close"; }, 20));
    EXPECT_EQ(read(computer.home / "paired"), "123456\n" + version + "\n");
  }
};

// Services whose terms page cannot be used: they answer every path the same way, or are not
// there at all; and whether the payload has its own copy of the terms.
struct Service {
  const char* name;
  Answer answer;
  bool reachable = true;
  bool ownCopy = true;
};
const Service services[] = {
    {"OnlyAPlainPage", {200, "<!doctype html><p>Nothing here</p>"}},
    {"AnErrorPage", {500, "<!doctype html><h1>Something broke</h1>"}},
    {"ASilentService", {200, "", true}},
    {"NoNetwork", {}, false},
    {"NoNetworkNorAnOwnCopy", {}, false, false},
};
void PrintTo(const Service& service, std::ostream* out) {
  *out << service.name;
}
struct Fallback : Sheet, ::testing::WithParamInterface<Service> {
  Fallback() : Sheet(GetParam().answer, GetParam().reachable) {}
};

QRect rect(const QJsonValue& value) {
  const QJsonArray r = value.toArray();
  return r.size() == 4 ? QRect(r[0].toInt(), r[1].toInt(), r[2].toInt(), r[3].toInt()) : QRect();
}

}  // namespace

TEST_F(Sheet, TheWindowsWordsTheBoxesDecideAndAgreeingSetsUp) {
  openSheet();
  EXPECT_EQ(
      std::tuple(window()->windowTitle(), part<QLabel>("heading")->text(),
                 part<QLineEdit>("code")->placeholderText(), part<QLabel>("footnote")->text()),
      std::tuple(QString("Set up Quendrel"), QString("Connect this computer to your church"),
                 QString("123456"),
                 QString("Codes last an hour and work once. If it has lapsed, ask for "
                         "another — nothing is lost.")));
  EXPECT_FALSE(window()->isEnabled()) << "the window waits for its sheet";
  EXPECT_TRUE(state("offTheRecord").toBool());
  EXPECT_TRUE(js("[...document.querySelectorAll('input')].every(b => !b.disabled)").toBool())
      << "boxes served disabled are enabled";
  EXPECT_FALSE(js("!!document.querySelector('.how')").toBool()) << "the how-to note is removed";
  ASSERT_TRUE(js("document.querySelectorAll('input')[2].click(); true").toBool());
  ASSERT_TRUE(showing("3 of 3 boxes ticked"));
  EXPECT_TRUE(state("agreeEnabled").toBool());
  ask({{"do", "click"}, {"button", "agree"}});
  expectSetUpWith("2025-04");
  EXPECT_EQ(server.count("/terms"), 1);
}

// Run on the default screen (800 × 600) and, by setup.screens.*, on 1366 × 768 and 1024 × 600.
TEST_F(Sheet, DropsFromTheWindowWithItsButtonsOnTheScreen) {
  openSheet();
  const QRect room = QGuiApplication::primaryScreen()->availableGeometry();
  const QRect at = rect(state("at")), frame = rect(state("frame"));
  EXPECT_EQ(frame.top(), window()->frameGeometry().top()) << "from the window's top edge";
  for (const char* button : {"agree", "cancel"}) {
    EXPECT_TRUE(room.contains(rect(state(button)).translated(at.topLeft())))
        << button << " on a screen of " << room.width() << " × " << room.height();
  }
}

TEST_F(Sheet, TheMenuProgramNeverLoadsTheWebEngineAndASheetThatDiesCancels) {
  openSheet();
  EXPECT_EQ(read("/proc/self/maps").find("WebEngine"), std::string::npos);
  const auto pid = static_cast<pid_t>(state("pid").toDouble());
  ASSERT_TRUE(pid > 0 && kill(pid, SIGKILL) == 0);
  expectBackAtTheCode("The terms could not be shown");
  part<QPushButton>("go")->click();
  EXPECT_NE(sheet(), nullptr) << "Connect tries again";
}

TEST_F(Sheet, EscapeCancels) {
  openSheet();
  ask({{"do", "key"}});
  expectBackAtTheCode("Ask for the six digits");
}

TEST_F(Sheet, LinksOpenInTheBrowserAndTheSheetStays) {
  openSheet();
  js("document.getElementById('privacy').click(); document.getElementById('away').click()");
  EXPECT_TRUE(spinUntil([&] {
    return ui.opened == std::vector{service + "/privacy", service + "/away"};
  }));
  Platform::turnLoop(0.3);
  EXPECT_EQ(std::pair(state("text"), server.count("/privacy")),
            std::pair(QJsonValue("2 of 3 boxes ticked"), 0))
      << "the sheet stays on the terms and never went there";
}

// The own copy stands in, stays up (the failed page is not heard from again), sends its links
// to the service's page of the same path and is agreed to; without one the sheet closes by
// itself and setting up goes on with an empty version.
TEST_P(Fallback, TheOwnCopyOrNoTerms) {
  if (!GetParam().ownCopy) {
    fs::remove(computer.payload / "ui/terms.html");
    openSheet("");
    return expectSetUpWith("");
  }
  openSheet("0 of 1 boxes ticked");
  ASSERT_TRUE(js("document.getElementById('privacy').click(); true").toBool());
  ASSERT_TRUE(spinUntil([&] { return ui.opened == std::vector{service + "/privacy"}; }));
  Platform::turnLoop(1);
  ASSERT_TRUE(js("document.querySelector('input').click(); true").toBool()) << "it stays up";
  ASSERT_TRUE(showing("1 of 1 boxes ticked"));
  ask({{"do", "click"}, {"button", "agree"}});
  expectSetUpWith("own");
}

INSTANTIATE_TEST_SUITE_P(Services, Fallback, ::testing::ValuesIn(services),
                         [](const auto& info) { return std::string(info.param.name); });
