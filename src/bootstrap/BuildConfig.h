#pragma once

#include <string_view>

// Values fixed when the bootstrapper is built. The payload digest and its directory name are
// computed by the build from the embedded bytes, so they always describe the same payload. The versions
// are the build settings CORVANE_VERSION and CORVANE_RUNTIME_VERSION; RuntimeMajorVersion is the latter's
// first number, as the user-facing texts name the runtime (".NET 8").
namespace Lite::Build {
extern const std::wstring_view ProductVersion;
extern const std::wstring_view RuntimeVersion;
extern const std::wstring_view RuntimeMajorVersion;

extern const std::wstring_view PayloadSha256;
extern const std::wstring_view PayloadDirectoryName;
extern const std::wstring_view ExpectedDownloadHost;
extern const std::wstring_view InstallerSha512;
}
