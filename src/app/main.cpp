// Quendrel's entry point: the widget application, the one Manager, and the ways the system
// talks to a running copy (quit requests and being opened again).
#include <string>
#include <vector>

#include "app/Manager.h"
#include "platform/App.h"
#include "platform/QtUi.h"
#include "platform/Queue.h"

int main(int argc, char** argv) {
  // Read (and drop) the new-instance mark before any thread could look at the environment.
  const bool newInstance = Platform::markedAsNewInstance();

  Platform::WidgetLoop loop(argc, argv);
  // Opening Quendrel again while it runs shows the running copy's way in, not a second copy.
  if (!newInstance && Platform::askRunningToReopen()) return 0;

  Platform::QtUi ui;
  Manager manager(ui, std::vector<std::string>(argv + 1, argv + argc));
  Platform::onTerminationRequest([&manager] { manager.terminate(); });
  Platform::onReopen([&manager] { manager.applicationShouldHandleReopen(); });
  Platform::onMain([&manager] { manager.applicationDidFinishLaunching(); });
  return loop.run();
}
