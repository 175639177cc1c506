#pragma once
// What the fault tests share beyond the test-support library, and what most of them include.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <future>
#include <iostream>

#include "placement/Moving.h"
#include "support/Bundles.h"
#include "support/Home.h"
#include "support/HostileServer.h"
#include "support/KillSweep.h"
#include "support/LocalServer.h"
#include "support/MainBundle.h"
#include "support/Sandbox.h"
#include "support/ScriptedUi.h"
#include "update/AppUpdate.h"

namespace faults_testing {

namespace fs = std::filesystem;
using namespace testing_support;

// The steps worth cutting a copy short at: every one that moves, swaps or removes something or
// clears an attribute, and every `every`th of those that make a copy (a folder, file or link).
inline std::function<bool(std::size_t, const std::string&)> changesAndEveryNthCopy(
    std::size_t every) {
  return [every, made = std::size_t{0}](std::size_t, const std::string& step) mutable {
    const bool copying =
        step.starts_with("open ") || step.starts_with("mkdir ") || step.starts_with("symlink ");
    return !copying || made++ % every == every - 1;
  };
}

}  // namespace faults_testing
