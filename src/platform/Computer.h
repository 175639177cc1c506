#pragma once
// What Quendrel's texts call the computer it runs on. Every text that names it takes this one
// word, so a build for the Mac says "Mac" where this one says "computer".

namespace Platform {

#if defined(__APPLE__)
inline constexpr const char* computer = "Mac";
#else
inline constexpr const char* computer = "computer";
#endif

}  // namespace Platform
