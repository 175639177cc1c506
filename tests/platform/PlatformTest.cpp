// The platform layer: quit requests, work handed to the main thread, which button Return and
// Escape answer in an alert, a status item's menu lines, texts shown as the plain text they are,
// drawings rendered to pixels; and the system underneath: SHA-256 against coreutils' sha256sum,
// HTTP over a plain socket to this computer and through libcurl elsewhere. (Ed25519 is the signing
// tests': a key made before signs to the same bytes, a damaged key is refused, and every flipped
// bit fails. A child that leaves a background process holding its output is the first setup's and
// the desk scripts' that print megabytes; misbehaving servers are the hostile tests'.)
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QTimer>
#include <array>
#include <csignal>
#include <future>
#include <thread>

#include "platform/App.h"
#include "platform/Digest.h"
#include "platform/Http.h"
#include "platform/Painting.h"
#include "platform/PanelInk.h"
#include "platform/QtUi.h"
#include "platform/Queue.h"
#include "platform/SetupView.h"
#include "support/Child.h"
#include "support/Home.h"
#include "support/HostileServer.h"

using namespace Platform;
using namespace testing_support;
using Platform::Http::Failure;

namespace {

// Runs `then` from the event loop, and the loop until something calls exit; a stuck test ends
// with -1 instead of hanging.
int loopAfter(const std::function<void()>& then) {
  QTimer::singleShot(0, then);
  QTimer::singleShot(20000, [] { QCoreApplication::exit(-1); });
  return QCoreApplication::exec();
}

// Presses the keys in turn where the keyboard would send them once the alert is up, then
// closes it from outside if it is still open, so that the run ends either way.
void pressWhenUp(std::vector<int> keys) {
  auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
  if (!box) return QTimer::singleShot(10, [keys] { pressWhenUp(keys); });
  for (int key : keys) {
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
    if (box->isVisible())
      QApplication::sendEvent(box->focusWidget() ? box->focusWidget() : box, &press);
  }
  if (box->isVisible()) box->done(0);
}

// Asks and waits for the reply; `answered` runs in the reply's callback, while the transfer is on.
Http::Reply ask(
    Http::Request request, const std::function<void()>& answered = [] {}) {
  std::promise<Http::Reply> replied;
  Http::get(std::move(request), [&](Http::Reply reply) {
    answered();
    replied.set_value(std::move(reply));
  });
  return replied.get_future().get();
}

}  // namespace

// SIGTERM ending the running copy, and a later launch handing over to it, are the end-to-end
// tray test's.
TEST(App, QuitRequestsAskTheHandlerWhileTheApplicationIsThere) {
  setenv(newInstanceVariable, "1", 1);
  EXPECT_TRUE(markedAsNewInstance() && !std::getenv(newInstanceVariable) && markedAsNewInstance())
      << "the variable taken away, and still known after";
  int asked = 0;
  onTerminationRequest([&asked] { QCoreApplication::exit(++asked); });
  EXPECT_EQ(loopAfter([] { std::raise(SIGINT); }), 1);
  EXPECT_EQ(loopAfter([] { QCoreApplication::quit(); }), 2) << "quit() alone would give 0";

  // A copy on its way out may still be asked to quit, by another copy closing it: once its
  // application object has gone, the request is dropped and the copy finishes its exit.
  const pid_t child = fork();
  if (child == 0) {
    onTerminationRequest([] {});
    delete QCoreApplication::instance()->children().last();  // the watch just made
    std::raise(SIGTERM);
    std::_Exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

TEST(Queue, WorkFromOtherThreadsRunsOnTheMainThreadInOrderAndSeesWhatItsPosterWrote) {
  constexpr int posters = 4, each = 200;
  const auto mainThread = std::this_thread::get_id();
  // Written by each poster before it posts, read by the work on the main thread: plain memory,
  // so only the hand-over orders the two. Work that ran elsewhere is seen as -1.
  std::vector<std::vector<int>> written(posters, std::vector<int>(each, -1)), seen(posters);
  std::atomic<int> ran{0};
  std::vector<std::jthread> threads;
  for (int p = 0; p < posters; ++p) {
    threads.emplace_back([&, p] {
      for (int i = 0; i < each; ++i) {
        written[p][i] = i;
        onMain([&, p, i] {
          seen[p].push_back(std::this_thread::get_id() == mainThread ? written[p][i] : -1);
          ++ran;
        });
      }
    });
  }
  // Delivered straight from the queue, without the event loop's wake-up in between.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (ran < posters * each && std::chrono::steady_clock::now() < deadline)
    QCoreApplication::sendPostedEvents();
  threads.clear();
  EXPECT_EQ(seen, written);  // each poster's 0, 1, 2, … in turn
}

TEST(QtUi, KeysAnswerOnlyTheirButtonsTextsShowAsTheyAreMenuLinesRunFromTheLoop) {
  const Alert wayIn{{}, "", "", {"Open", "Show", "Done", "Uninstall"}, 0, 2},
      keepOpen = Alert::confirmation("in use", "", "Quit Anyway", "Cancel");
  const std::vector<std::string> two{"Quit Anyway", "Cancel"};
  const std::tuple<Alert, std::vector<int>, int> cases[] = {
      {wayIn, {Qt::Key_Return}, 0},
      {wayIn, {Qt::Key_Escape}, 2},
      {keepOpen, {Qt::Key_Return}, 1},
      {{{}, "", "", two, {}, 1}, {Qt::Key_Return, Qt::Key_Escape}, 1},   // Return chose nothing
      {{{}, "", "", two, {}, {}}, {Qt::Key_Return, Qt::Key_Escape}, 2},  // closed, no choice
      {Alert{}, {Qt::Key_Escape}, 0},                                    // no buttons: one OK
  };
  for (const auto& [alert, keys, answer] : cases) {
    QTimer::singleShot(0, [keys] { pressWhenUp(keys); });
    EXPECT_EQ(QtUi().run(alert), firstButton + answer) << alert.buttons.size() << " buttons";
  }

  // Menu lines and the setup window's explaining line show their texts as they are.
  int chosen = 0;
  QtUi ui;
  auto item = ui.makeStatusItem(Drawing{}, "Quendrel",
                                {{"Fish & Chips", false, true, [&chosen] { chosen = 1; }, "q"}});
  auto setup = ui.makeSetupView();
  const std::string said = "<b>setup.sh</b>: could not write <i>presets</i> &amp; quit";
  setup->setExplain(said);
  QMenu* menu = nullptr;
  QLabel* explain = nullptr;
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    if (auto* found = qobject_cast<QMenu*>(widget)) menu = found;
    if (widget->objectName() == "setup") explain = widget->findChild<QLabel*>("explain");
  }
  ASSERT_TRUE(menu && menu->actions().size() == 1 && explain);
  QAction* action = menu->actions()[0];
  EXPECT_EQ(std::make_tuple(explain->textFormat(), explain->text().toStdString(), action->text()),
            std::make_tuple(Qt::PlainText, said, QString("Fish && Chips")));
  // A chosen line's work runs from the event loop, with the action it has by then.
  item->setAction(0, [&chosen] { chosen = 2; });
  action->trigger();
  EXPECT_EQ(chosen, 0);
  QApplication::processEvents();
  EXPECT_EQ(chosen, 2);
}

// The knob's ink, read from the tray's colours: more than 16 bits is full, and too few to name a
// colour leave it to the preference (their order against the desktop's preference and the palette
// is the end-to-end knob test's, the palette's the QtUi test's); then the drawings it is painted
// with.
TEST(Painting, TheInkFromTheTraysColoursAndEachDrawingPaintsWhereItShould) {
  EXPECT_EQ(std::pair(inkFor({{0x1ffff, 0, 0x00ff}, {}, {}, {}}), inkFor({{0, 0}, 1u, {}, {}})),
            std::pair(Colour{255, 0, 1}, white));
  constexpr double c = 9, r = 7.2, w = 1.35;
  using Probe = std::array<double, 4>;  // x, y, and the bounds of the alpha there
  auto on = [](double x, double y) { return Probe{x, y, 255, 255}; };
  auto off = [](double x, double y) { return Probe{x, y, 0, 0}; };
  const std::pair<std::vector<Step>, std::vector<Probe>> cases[] = {
      // From lower left over the top to upper right, clockwise: the knob's lit gauge.
      {{Arc{{c, c}, r, 215, 31, true, w, 1}},
       {on(c, c + r), off(c, c - r), on(c - r, c), off(c + r, c)}},
      // Crossing 0°, and alpha making a partly transparent stroke.
      {{Arc{{c, c}, r, 31, -35, true, w, 0.32}}, {{c + r, c, 78, 86}, off(c - r, c), off(c, c)}},
      // Erasing cuts through until restored.
      {{Disc{{c, c}, 6}, Save{}, Erase{}, Disc{{c, c}, 3}, Line{{c - 6, c}, {c - 4, c}, 1},
        Restore{}, Disc{{c, c}, 1}},
       {off(c + 2, c), on(c + 4.5, c), off(c - 5, c), on(c, c), off(c + 8.5, c)}},
  };
  for (const auto& [steps, probes] : cases) {
    const Rendered image = render(Drawing{18, steps}, 8);
    for (const Probe& p : probes) {
      const int alpha = image.at(p[0], p[1]);
      EXPECT_TRUE(alpha >= p[2] && alpha <= p[3])
          << steps.size() << " steps, at (" << p[0] << ", " << p[1] << "): " << alpha;
    }
  }
}

TEST(Http, AnswersFromThisComputerHoweverTheyAreFramed) {
  const std::string body = R"({"in_use":false})";
  const std::pair<std::string, std::string> cases[] = {
      {"HTTP/1.1 200 OK\r\nContent-Length: 16\r\n\r\n", body},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n",
       "a\r\n{\"in_use\":\r\n6;x=y\r\nfalse}\r\n0\r\nX-After: 1\r\n\r\n"},
      {"HTTP/1.0 200 OK\r\n\r\n", body},  // up to the end
      // An interim answer first, bare line ends, the header in other case and spaces.
      {"HTTP/1.1 100 Continue\n\nHTTP/1.1 200 OK\ncontent-length:  16 \n\n", body},
  };
  for (const auto& [head, rest] : cases) {
    HostileServer server{{Misbehaviour::Kind::whole, head, rest}};
    const auto reply = ask({server.base() + "/in-use", 5, 1024, false, true});
    EXPECT_EQ(std::make_tuple(reply.failure, reply.status, reply.body.value_or("")),
              std::make_tuple(Failure::none, 200, body))
        << head << reply.error;
  }
  EXPECT_EQ(ask({"http://192.0.2.1/", 5, 1024, false, true}).failure, Failure::other)
      << "a question to this computer goes nowhere else";
}

// Only a request elsewhere loads libcurl, for its transfer, and lets it go after; the menu-bar
// program links neither libcurl nor libcrypto, so that neither is loaded at launch.
TEST(Http, LibcurlOnlyWhileATransferNeedsIt) {
  const auto curl = [] { return read("/proc/self/maps").find("libcurl") != std::string::npos; };
  HostileServer server{{Misbehaviour::Kind::whole, head(200, "2"), "{}"}};
  EXPECT_EQ(ask({server.base() + "/", 5, 1024, false, true}).status, 200);
  bool loaded = curl();
  EXPECT_FALSE(loaded) << "a question to this computer goes without it";
  EXPECT_EQ(ask({server.base() + "/", 5}, [&] { loaded = curl(); }).status, 200);
  bool unloaded = false;
  for (int i = 0; i < 1000 && !(unloaded = !curl()); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(loaded && unloaded) << "loaded for its transfer and let go after";
  const std::string needed = run("/usr/bin/readelf", {"-d", BUILD_ROOT "/Quendrel"}).out;
  EXPECT_EQ(std::tuple(needed.find("libQt6Widgets") != std::string::npos, needed.find("libcurl"),
                       needed.find("libcrypto")),
            std::tuple(true, std::string::npos, std::string::npos));
}

// Lengths around the pieces hashed at a time and the blocks a file is read in, and one that spans
// several blocks; whole, and from a file.
TEST(Digest, AgreesWithSha256sum) {
  Home home;
  for (std::size_t size : {0, 57, 4096, 8193, 262144, 600000}) {
    std::string data(size, '\0');
    std::uint64_t seed = size;
    for (char& c : data) c = static_cast<char>((seed = seed * 6364136223846793005u + 1) >> 56);
    const auto file = write(home / "file", data);
    const std::string want = run("/usr/bin/sha256sum", {file.string()}).out.substr(0, 64);
    EXPECT_EQ(Platform::sha256OfFile(file).value_or("") + Platform::sha256Hex(data), want + want)
        << "file, whole: size " << size;
  }
}
