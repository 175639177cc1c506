#include "setup/Service.h"

#include "platform/Bundle.h"
// The only file that sees the build's address, so that changing it rebuilds just this one.
#include "setup/Built.h"

namespace Service {

const std::string& address() {
  static const std::string address = [] {
    if (auto bundle = Platform::mainBundle()) {
      if (auto value = bundle->value("QuendrelService"); value && !value->empty()) {
        std::string v = *value;
        while (!v.empty() && v.back() == '/') v.pop_back();
        return v;
      }
    }
    return std::string(Built::service);
  }();
  return address;
}

}  // namespace Service
