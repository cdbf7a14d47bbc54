#pragma once

#include <cstdint>

namespace Lite {

// Stages, downloads, verifies and runs the runtime installer elevated; returns its exit code, or 1602
// when the user stopped the download.
std::uint32_t DownloadAndInstallRuntime();

}
