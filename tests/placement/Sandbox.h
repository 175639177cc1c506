#pragma once
// Every test of this program runs as the first process of its own process and mount
// namespaces, under a root of its own in which "/Applications", "/Volumes" and "/media" are
// empty folders that vanish with the test; everything else is the machine's own, shared.
// So a test may put copies in /Applications, mount disk images and close "other copies"
// without touching anything outside it, and every process it starts ends with it.
#include <filesystem>

namespace placement_testing {

// Called first thing in main: re-runs this program inside new namespaces (as root, when
// unshare is there) and, once inside, builds the private root.
void enterSandbox(int argc, char** argv);

// Whether this test runs in the sandbox; tests that need it skip without it.
bool sandboxed();

// Makes a folder read-only for everybody, root included (a read-only bind mount over it).
bool makeReadOnly(const std::filesystem::path& folder);

}  // namespace placement_testing
