#pragma once
// The entry point of the placement and update tests (Sandbox.cpp): every test runs as the first
// process of its own process and mount namespaces, under a root of its own in which
// "/Applications", "/Volumes" and "/media" are empty folders that vanish with the test;
// everything else is the machine's own, shared. So a test may put copies in /Applications,
// mount disk images and close "other copies" without touching anything outside it, and every
// process it starts ends with it. Then the tests run with an event loop.
#include <filesystem>

namespace placement_testing {

// Whether this test runs in the sandbox; tests that need it skip without it.
bool sandboxed();

// Makes a folder read-only for everybody, root included (a read-only bind mount over it).
bool makeReadOnly(const std::filesystem::path& folder);

// Whether something is mounted at the point, or at or below the folder.
bool mounted(const std::filesystem::path& point);
bool mountedBelow(const std::filesystem::path& folder);

// Lets the event loop turn again after a Manager asked it to quit (a quit request stops
// every loop that runs until the application's own loop has run once more).
void reviveEventLoop();

}  // namespace placement_testing
