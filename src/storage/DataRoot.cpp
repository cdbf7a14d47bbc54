#include "storage/DataRoot.h"

#include "bootstrap/Error.h"
#include "bootstrap/ScopedOwner.h"
#include "storage/PathRules.h"

#include <windows.h>
#include <initguid.h>
#include <knownfolders.h>
#include <objbase.h>
#include <shlobj.h>

#include <filesystem>
#include <system_error>

namespace Lite {

namespace {

using ShellStringOwner = ScopedOwner<PWSTR, &::CoTaskMemFree>;

bool IsBareDrive(std::wstring_view path)
{
    return path.size() == 2 && IsDriveLetter(path[0]) && path[1] == L':';
}

// The platform's full-path rules, also for a value that is already absolute: the standard library would
// hand such a value back untouched, keeping its slashes and its "." and ".." elements.
std::wstring FullPath(const std::wstring& path)
{
    std::wstring full(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = ::GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
        if (length == 0) {
            throw std::filesystem::filesystem_error(
                "absolute", std::filesystem::path(path),
                std::error_code(static_cast<int>(::GetLastError()), std::system_category()));
        }
        if (length < full.size()) {
            full.resize(length);
            return full;
        }
        full.resize(length);
    }
}

}

std::wstring ReadEnvironmentVariable(const wchar_t* name)
{
    const DWORD size = ::GetEnvironmentVariableW(name, nullptr, 0);
    if (size == 0) {
        return {};
    }
    std::wstring value(size, L'\0');
    ::GetEnvironmentVariableW(name, value.data(), size);
    value.resize(size - 1);
    return value;
}

std::wstring JoinPath(std::wstring_view left, std::wstring_view right)
{
    std::wstring joined(left);
    if (!left.empty() && !IsPathSeparator(left.back()) && !IsBareDrive(left)) {
        joined += L'\\';
    }
    joined += right;
    return joined;
}

std::wstring ResolveDataRoot()
{
    const std::wstring overrideRoot = ReadEnvironmentVariable(L"CORVANE_TEST_DATA_ROOT");
    if (!overrideRoot.empty()) {
        return JoinPath(FullPath(overrideRoot), L"lite-cache");
    }

    ShellStringOwner localAppData;
    if (FAILED(::SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, localAppData.Put()))) {
        throw Error{L"无法取得本机应用目录。"};
    }
    return JoinPath(JoinPath(localAppData.Get(), L"Corvane"), L"Lite");
}

}
