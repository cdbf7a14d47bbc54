#pragma once

#include <string>

namespace Lite {

// Starts the app under the runtime root and returns without waiting for it.
void LaunchApp(const std::wstring& appPath, const std::wstring& runtimeRoot);

}
