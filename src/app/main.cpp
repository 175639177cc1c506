// Quendrel's entry point: the widget application, the one Manager, and the ways the system
// talks to a running copy (quit requests and being opened again).
#include <string>
#include <vector>

#include "app/Manager.h"
#include "platform/app.h"
#include "platform/qt_ui.h"
#include "platform/queue.h"

int main(int argc, char** argv) {
  // Read (and drop) the new-instance mark before any thread could look at the environment.
  const bool newInstance = platform::markedAsNewInstance();

  platform::WidgetLoop loop(argc, argv);
  // Opening Quendrel again while it runs shows the running copy's way in, not a second copy.
  if (!newInstance && platform::askRunningToReopen()) return 0;

  platform::QtUi ui;
  Manager manager(ui, std::vector<std::string>(argv + 1, argv + argc));
  platform::onTerminationRequest([&manager] { manager.terminate(); });
  platform::onReopen([&manager] { manager.applicationShouldHandleReopen(); });
  platform::onMain([&manager] { manager.applicationDidFinishLaunching(); });
  return loop.run();
}
