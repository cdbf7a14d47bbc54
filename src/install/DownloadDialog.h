#pragma once

#include <string>

namespace Lite {

// Downloads and verifies the installer in a cancellable progress dialog. True for a verified
// installer, false when the user cancelled; throws Error otherwise.
bool ShowDownloadDialog(const std::wstring& installerPath);

}
