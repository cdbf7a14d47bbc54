#include "runtime/RuntimeRoots.h"

#include "bootstrap/ScopedOwner.h"
#include "storage/DataRoot.h"
#include "storage/PathRules.h"

#include <windows.h>
#include <initguid.h>
#include <knownfolders.h>
#include <objbase.h>
#include <shlobj.h>

#include <cwchar>
#include <string_view>
#include <utility>

namespace Lite {

namespace {

using ShellStringOwner = ScopedOwner<PWSTR, &::CoTaskMemFree>;

constexpr wchar_t InstalledVersionsKey[] = L"SOFTWARE\\dotnet\\Setup\\InstalledVersions\\x64";
constexpr wchar_t InstallLocationValue[] = L"InstallLocation";
constexpr DWORD RegistryBufferUnits = 32768;

// Length of the root name: a drive designator ("C:"), a device prefix ("\\?", "\\.", "\??", each
// followed by a separator that is not part of the name) or two separators and a server name ("\\srv").
// Zero when the path has none.
std::size_t RootNameLength(std::wstring_view path)
{
    if (path.size() >= 2 && IsDriveLetter(path[0]) && path[1] == L':') {
        return 2;
    }
    if (path.size() >= 4 && IsPathSeparator(path[0]) && IsPathSeparator(path[3]) &&
        ((IsPathSeparator(path[1]) && (path[2] == L'?' || path[2] == L'.')) || (path[1] == L'?' && path[2] == L'?'))) {
        return 3;
    }
    if (path.size() >= 3 && IsPathSeparator(path[0]) && IsPathSeparator(path[1]) && !IsPathSeparator(path[2])) {
        std::size_t end = 3;
        while (end < path.size() && !IsPathSeparator(path[end])) {
            ++end;
        }
        return end;
    }
    return 0;
}

bool IsAbsolutePath(std::wstring_view path)
{
    const std::size_t rootName = RootNameLength(path);
    if (rootName == 0) {
        return false;
    }
    // A drive needs its root separator ("C:name" is relative to that drive's current directory); a server
    // or device root name is absolute on its own.
    if (rootName == 2 && path[1] == L':') {
        return path.size() > 2 && IsPathSeparator(path[2]);
    }
    return true;
}

// Equal when the root names agree exactly, both or neither have a root separator, and the rest agrees
// code unit for code unit with any run of separators matching any other run.
bool ArePathsEqual(std::wstring_view left, std::wstring_view right)
{
    const std::size_t leftRoot = RootNameLength(left);
    const std::size_t rightRoot = RootNameLength(right);
    if (left.substr(0, leftRoot) != right.substr(0, rightRoot)) {
        return false;
    }
    std::size_t i = leftRoot;
    std::size_t j = rightRoot;
    const bool leftHasRootSeparator = i < left.size() && IsPathSeparator(left[i]);
    const bool rightHasRootSeparator = j < right.size() && IsPathSeparator(right[j]);
    if (leftHasRootSeparator != rightHasRootSeparator) {
        return false;
    }
    while (i < left.size() && j < right.size()) {
        if (IsPathSeparator(left[i]) && IsPathSeparator(right[j])) {
            while (i < left.size() && IsPathSeparator(left[i])) {
                ++i;
            }
            while (j < right.size() && IsPathSeparator(right[j])) {
                ++j;
            }
        } else if (left[i] == right[j]) {
            ++i;
            ++j;
        } else {
            return false;
        }
    }
    return i == left.size() && j == right.size();
}

// The registered install location in one registry view (RRF_SUBKEY_WOW6432KEY or RRF_SUBKEY_WOW6464KEY).
std::wstring ReadRegisteredInstallLocation(DWORD view)
{
    std::wstring buffer(RegistryBufferUnits, L'\0');
    DWORD size = RegistryBufferUnits * sizeof(wchar_t);
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, InstalledVersionsKey, InstallLocationValue, RRF_RT_REG_SZ | view, nullptr,
                       buffer.data(), &size) != ERROR_SUCCESS) {
        return {};
    }
    buffer.resize(std::wcslen(buffer.c_str()));
    return buffer;
}

std::wstring ProgramsFolderCandidate()
{
    ShellStringOwner programFiles;
    if (FAILED(::SHGetKnownFolderPath(FOLDERID_ProgramFiles, 0, nullptr, programFiles.Put()))) {
        return {};
    }
    return JoinPath(programFiles.Get(), L"dotnet");
}

}

void AddRuntimeRootCandidate(std::vector<std::wstring>& candidates, std::wstring candidate)
{
    if (candidate.empty() || !IsAbsolutePath(candidate)) {
        return;
    }
    for (const std::wstring& existing : candidates) {
        if (ArePathsEqual(existing, candidate)) {
            return;
        }
    }
    candidates.push_back(std::move(candidate));
}

std::vector<std::wstring> FindRuntimeRoots()
{
    std::vector<std::wstring> candidates;
    AddRuntimeRootCandidate(candidates, ReadEnvironmentVariable(L"DOTNET_ROOT_X64"));
    AddRuntimeRootCandidate(candidates, ReadEnvironmentVariable(L"DOTNET_ROOT"));
    // Microsoft's runtime installer records its location in the 32-bit view (WOW6432Node on 64-bit Windows),
    // and that is where Microsoft's app host looks, so a runtime installed anywhere but Program Files is
    // known only from there. The 64-bit view is still read after it, for a machine where someone wrote the
    // value there by hand.
    AddRuntimeRootCandidate(candidates, ReadRegisteredInstallLocation(RRF_SUBKEY_WOW6432KEY));
    AddRuntimeRootCandidate(candidates, ReadRegisteredInstallLocation(RRF_SUBKEY_WOW6464KEY));
    AddRuntimeRootCandidate(candidates, ProgramsFolderCandidate());
    return candidates;
}

}
