#pragma once
// Setting this computer up: laying the desk down, running its setup, pairing, starting it.

namespace Installer {

// True while a setup run is under way. Written and read on the main thread only.
extern bool running;

}  // namespace Installer
