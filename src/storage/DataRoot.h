#pragma once

#include <string>
#include <string_view>

namespace Lite {

// Names of the on-disk layout below the data root.
inline constexpr std::wstring_view AppFileName = L"Corvane.App.exe";
inline constexpr std::wstring_view DownloadsDirectoryName = L"downloads";
inline constexpr wchar_t TempFilePrefix[] = L"CVN";

// The per-user data root, evaluated afresh on every call (CORVANE_TEST_DATA_ROOT overrides it).
std::wstring ResolveDataRoot();

// One variable of this process's live environment; empty when unset, empty or unreadable.
std::wstring ReadEnvironmentVariable(const wchar_t* name);

// The platform's path-append rule: one backslash between the parts unless the left part is empty,
// already ends in a separator or is a bare drive such as C:.
std::wstring JoinPath(std::wstring_view left, std::wstring_view right);

}
