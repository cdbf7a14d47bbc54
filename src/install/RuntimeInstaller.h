#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

namespace Lite {

// Stages, downloads, verifies and runs the runtime installer elevated; returns its exit code, or 1602
// when the user stopped the download.
std::uint32_t DownloadAndInstallRuntime();

// Removes the installers and reserved names that killed starts left in the downloads directory (each
// as large as the runtime installer), once they are a day old, as the payload's staging files go. It
// never creates the directory and never fails a start: whatever stands in the way leaves the files
// where they are until a later start.
void RemoveDownloadLeftovers() noexcept;

// Whether the installer's name still leads, through plain directories only, to the very file that was
// verified and has been held open since: checked right before the shell starts it by that name.
bool NamesVerifiedInstaller(const std::wstring& downloadsDirectory, const std::wstring& installerPath,
                            HANDLE verifiedInstaller);

}
