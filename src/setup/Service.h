#pragma once
// The web service Quendrel pairs the computer with, shows the terms of and fetches its
// updates from.
#include <string>

namespace Service {

// The service's base address ("https://host"): the bundle's QuendrelService value, else the
// one built in.
const std::string& address();

}  // namespace Service
