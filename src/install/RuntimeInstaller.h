#pragma once

#include <windows.h>
#include <shellapi.h>

#include <cstdint>

namespace Lite {

// Stages, downloads, verifies and runs the runtime installer elevated; returns its exit code, or 1602
// when the user stopped the download.
std::uint32_t DownloadAndInstallRuntime();

namespace Seams {
// The elevated start of the installer. Tests replace it to reproduce a refused elevation prompt, which
// Wine never shows.
extern BOOL(WINAPI* shellExecuteEx)(SHELLEXECUTEINFOW* request);
}

}
