// Runs the whole tool on the scripted platform in a child process, with the
// world the test set up before the call.
#pragma once

#include <string>
#include <vector>

#include "platform/ScriptedPlatform.h"
#include "support/ChildProcess.h"

namespace quorbel::scripted {

// The child runs the tool's main with args, then reports its platform calls.
test::ChildProcess StartTool(const std::vector<std::string>& args);

// What the child reported once it ended: its calls in order and what it leaked.
struct Report {
    std::vector<std::string> calls;
    Leaks leaks;
    bool complete = false;  // the child got as far as reporting
};
Report ReadReport(test::ChildProcess& child);

bool Contains(const std::vector<std::string>& calls, const std::string& prefix);

}  // namespace quorbel::scripted
