#pragma once

#include <string>

namespace Lite {

std::wstring QuotePath(const std::wstring& path);

// True when the app, started in probe mode under the root, exits with 0 in time.
bool ProbeRuntime(const std::wstring& appPath, const std::wstring& runtimeRoot);

// The first candidate root under which the probe passes, or an empty path.
std::wstring FindWorkingRuntime(const std::wstring& appPath);

}
