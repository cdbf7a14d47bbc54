#pragma once

#include <windows.h>

#include <string>

namespace Lite {

std::wstring QuotePath(const std::wstring& path);

// True when the app, started in probe mode under the root, exits with 0 in time.
bool ProbeRuntime(const std::wstring& appPath, const std::wstring& runtimeRoot);

// The first candidate root under which the probe passes, or an empty path.
std::wstring FindWorkingRuntime(const std::wstring& appPath);

// The variables that make the app host take its runtime from the root; shared by the probe and the
// real start, and left in this process's environment afterwards.
void SetRuntimeVariables(const std::wstring& runtimeRoot);

// The directory that holds the app, where both the probe and the real start run.
std::wstring AppDirectory(const std::wstring& appPath);

}
