#pragma once
// See Server.h.
#include "support/Server.h"
