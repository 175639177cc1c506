#pragma once
// The two questions the application asks the desk over local HTTP, and its version file.
#include <functional>
#include <string>

#include "desk/DeskState.h"

namespace Desk {

struct Busy {
  enum class Kind {
    busy,        // somebody uses the console; `why` is the desk's reason, possibly empty
    notRunning,  // nothing accepts connections on the desk's port
    idle,        // nobody uses the console
    unknown,     // no usable answer in time
  };
  Kind kind = Kind::unknown;
  std::string why;
  bool operator==(const Busy&) const = default;
};

// Hands over the desk's state exactly once: at once, on this thread, for `notInstalled`
// and `unfinished`; otherwise later, on the HTTP session's thread.
void look(std::function<void(DeskState)> then);

// Whether anybody uses the console. Blocks the calling thread for at most 3 seconds.
Busy busy();

// The first word of the desk's VERSION file (up to any white space), at most 7 characters.
std::string installedVersion();

// The in-use answer's body as the desk sent it with status 200.
Busy readInUse(const std::string& body);

}  // namespace Desk
