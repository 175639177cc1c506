// The update tests share the placement tests' entry point (each test in a sandbox of its own,
// so the images it attaches and the processes it starts vanish with it) and bundle maker.
#include "placement/Bundles.cpp"
#include "placement/Sandbox.cpp"
