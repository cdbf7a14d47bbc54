#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace Lite {

// The four operations the launch flow chains. The flow depends on nothing else, so it can be driven
// with substitutes.
struct LaunchSteps {
    std::function<bool()> probeRuntime;
    std::function<bool()> askToInstall;
    std::function<std::uint32_t()> installRuntime;
    std::function<void()> launchApp;
};

// Returns 0 on every normal end; throws Error when the installation did not lead to a launch.
int RunLaunchFlow(LaunchSteps& steps);

std::wstring FormatUnsignedDecimal(std::uint32_t value);

}
