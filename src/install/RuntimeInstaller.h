#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

namespace Lite {

// Stages, downloads, verifies and runs the runtime installer elevated; returns its exit code, or 1602
// when the user stopped the download.
std::uint32_t DownloadAndInstallRuntime();

// Whether the installer's name still leads, through plain directories only, to the very file that was
// verified and has been held open since: checked right before the shell starts it by that name.
bool NamesVerifiedInstaller(const std::wstring& downloadsDirectory, const std::wstring& installerPath,
                            HANDLE verifiedInstaller);

}
