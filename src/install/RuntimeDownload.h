#pragma once

#include <windows.h>

#include <atomic>
#include <string>

namespace Lite {

// Fetches the runtime installer into an existing file. Progress goes to the dialog window (none when
// null); the flag is checked before the request is sent and before every read.
void DownloadFile(const std::wstring& destinationPath, const std::atomic<bool>& cancelRequested,
                  HWND progressWindow);

}
