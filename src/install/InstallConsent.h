#pragma once

namespace Lite {

// Asks whether the runtime may be downloaded and installed; true only for the download choice.
bool AskToInstallRuntime();

}
