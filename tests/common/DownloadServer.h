#pragma once

#include "ReleaseConstants.h"

#include <cstdint>
#include <string>
#include <vector>

// Test side of the local HTTPS server and the signing fixtures that tests/fixtures makes for the build.
namespace LiteTest {

// The path the product always asks for: Microsoft's folder of the runtime version, and its x64 installer.
inline const std::wstring InstallerUrlPath = std::wstring(L"/dotnet/WindowsDesktop/") + RuntimeVersion +
                                             L"/windowsdesktop-runtime-" + RuntimeVersion + L"-win-x64.exe";

// Replaces what the server answers (the scenario JSON described in tests/fixtures/https_server.py) and
// clears its log. Fails the current test when the server cannot be reached.
void SetScenario(const std::string& scenarioJson);

// Lets the answers that a "hold" or "hold_after" route keeps back go on.
void ReleaseHeldAnswers();

struct ServerRequest {
    std::string scheme;
    std::string method;
    std::string path;
    std::string userAgent;
    std::string host;
};

struct ServerLog {
    int connections = -1;
    std::vector<ServerRequest> requests;
};

// TLS connections accepted and requests seen since the last SetScenario.
ServerLog ReadServerLog();

// Byte i of a pattern body ("size" routes).
inline std::uint8_t PatternByte(std::uint64_t index)
{
    return static_cast<std::uint8_t>(index % 251);
}

// A directory of the fixture tree made by the build (fixtures/<name> beside tests/).
std::wstring FixtureDirectory(const std::wstring& name);

// A fresh path in the prefix's temporary directory; the file does not exist yet.
std::wstring TempPath(const std::wstring& name);

}
