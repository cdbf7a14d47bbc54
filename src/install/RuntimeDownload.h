#pragma once

#include <windows.h>

#include <atomic>
#include <string>

namespace Lite {

// Fetches the runtime installer into an existing file. Progress goes to the dialog window (none when
// null); the flag is checked before the request is sent and before every read.
void DownloadFile(const std::wstring& destinationPath, const std::atomic<bool>& cancelRequested,
                  HWND progressWindow);

// The one address the product ever downloads from: the expected host and the installer's fixed path.
std::wstring RuntimeInstallerUrl();

// DownloadFile over a given address, with every address check applied to it unchanged. The product
// only ever passes RuntimeInstallerUrl(); tests pass addresses the build constant cannot spell (the
// host in other letter case, another port, another scheme).
void DownloadFileFromUrl(const std::wstring& url, const std::wstring& destinationPath,
                         const std::atomic<bool>& cancelRequested, HWND progressWindow);

}
