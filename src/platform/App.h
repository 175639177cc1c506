#pragma once
// The application process's dealings with the system: requests to quit, and being opened
// again while it runs. Needs the event loop of `EventLoop`.
#include <functional>

namespace Platform {

// The environment variable that marks a launch as a new instance: code that starts a copy
// of the application "as a new instance" (a hand-over, a relaunch after an update) sets it
// to "1" in the child's environment, so that the child carries on even though a copy of the
// same bundle is running.
inline constexpr const char* newInstanceVariable = "QUENDREL_NEW_INSTANCE";

// Whether this launch was marked as a new instance. The first call reads the variable and
// removes it from the environment, so that it does not reach the desk's scripts; call it at
// the very start of `main`, before any thread runs. It takes in the same way the descriptor
// a copy that started this one waits on for word that it is up (see `announceUp`).
bool markedAsNewInstance();

// Tells the copy that started this one and waits to hear that it is up (a relaunch after an
// update), that it is: call once the launch has got as far as showing the knob. Nothing when
// no copy waits; only the first call says anything.
void announceUp();

// Hands a plain launch over to the copy of this same bundle that already runs for this user
// on this display: tells it to re-open and answers true, and this process should then leave
// quietly. False when no such copy listens.
bool askRunningToReopen();

// Listens for later launches of this bundle and calls `handler` on the main thread each time
// one asks this process to re-open. When another process of the bundle still holds the name
// (it is on its way out after handing over), listening starts once it has gone.
void onReopen(std::function<void()> handler);

// SIGTERM, SIGINT and the window system's or session's request to quit call `handler` on
// the main thread instead of ending the process; the handler decides whether to quit.
void onTerminationRequest(std::function<void()> handler);

}  // namespace Platform
