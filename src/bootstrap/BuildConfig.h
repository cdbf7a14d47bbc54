#pragma once

#include <string_view>

// Values fixed when the bootstrapper is built. The payload digest and its directory name are
// computed by the build from the embedded bytes, so they always describe the same payload.
namespace Lite::Build {
inline constexpr std::wstring_view ProductVersion = L"1.3.7";

extern const std::wstring_view PayloadSha256;
extern const std::wstring_view PayloadDirectoryName;
extern const std::wstring_view ExpectedDownloadHost;
extern const std::wstring_view InstallerSha512;
}
