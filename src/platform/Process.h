#pragma once
// Child processes, always started from an argument vector (never a shell line), with the
// null device as their standard input.
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "platform/Descriptor.h"

namespace Platform {

struct Command {
  std::string program;            // absolute path of the executable
  std::vector<std::string> args;  // without the program's own name
  std::string cwd;                // working folder; empty keeps ours
};

// Where the child's standard output and error go.
enum class Output {
  pipe,     // both into one pipe, read until the child has exited and briefly after (a
            // process it left running may hold the pipe open), then the child is waited for
  null,     // the null device
  inherit,  // our own streams
};

// The child ran and ended. `status` is its exit status, or 128 + signal when killed.
struct Exited {
  int status = 0;
  std::string output;  // what it wrote, with Output::pipe
};

// The child could not be started at all; `why` is the system's text for the reason.
struct Unstarted {
  std::string why;
};

using Ran = std::variant<Exited, Unstarted>;

// Runs the command to its end, blocking the calling thread.
Ran run(const Command& command, Output output);

// Variables set in a child's environment on top of ours, replacing ours of the same name.
using Environment = std::vector<std::pair<std::string, std::string>>;

// Starts the command without waiting for it; it is reaped in the background.
// `newSession` detaches it from our session and process group (a new application instance).
// Gives the reason when it could not be started.
std::optional<std::string> launch(const Command& command, Output output = Output::inherit,
                                  bool newSession = false, const Environment& environment = {});

// The variable that tells a child started by `launchAnswering` which of its descriptors to
// write "up" to once it is up.
inline constexpr const char* answerVariable = "QUENDREL_ANSWER_FD";

// A child that is to say when it is up, started by `launchAnswering`. It is ours: stopped
// (SIGKILL) and reaped when dropped, unless it has been let go.
class Answering {
 public:
  enum class Word {
    none,   // nothing yet, and it runs
    up,     // it has said it is up
    ended,  // it has exited without saying so
  };

  Answering(int pid, Descriptor reader) : pid_(pid), reader_(std::move(reader)) {}
  Answering(Answering&& other) noexcept;
  Answering& operator=(Answering&&) = delete;
  Answering(const Answering&) = delete;
  ~Answering() { stop(); }

  // What it has said so far, without waiting.
  Word word();
  // Stops it (SIGKILL) if it still runs, and reaps it.
  void stop();
  // Lets it run on by itself; it is reaped in the background.
  void letGo();

 private:
  int pid_ = -1;
  Descriptor reader_;
  std::string heard_;
};

// Starts the command as a new application instance (a session of its own, our streams), with
// one end of a socket for its answer and the variables on top of our environment.
std::variant<Answering, Unstarted> launchAnswering(const Command& command,
                                                   const Environment& environment);

// Opens the address in the browser the desktop prefers (xdg-open), without waiting; without
// one nothing happens.
void openInBrowser(const std::string& address);

// The process id of this process.
int selfPid();

}  // namespace Platform
