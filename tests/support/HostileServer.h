#pragma once
// A server that misbehaves the same way for every path but those it is given (see Server.h).
#include <map>

#include "support/Server.h"

namespace testing_support {

class HostileServer : public Server {
 public:
  explicit HostileServer(Misbehaviour how, std::map<std::string, Misbehaviour> paths = {})
      : Server([how = std::move(how), paths = std::move(paths)](const std::string& path) {
          auto found = paths.find(path);
          return found == paths.end() ? how : found->second;
        }) {}
};

}  // namespace testing_support
