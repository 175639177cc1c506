#pragma once
// A stand-in for the running application's bundle. A test program that calls
// pretendMainBundle links this file's Platform::mainBundle in place of the platform's own
// (which reads /proc/self/exe), so the code under test takes the pretended bundle for its own.
#include <filesystem>

namespace testing_support {

// Makes Platform::mainBundle() answer `location` from now on; call it before anything asks
// for the main bundle.
void pretendMainBundle(const std::filesystem::path& location);

}  // namespace testing_support
