#include "storage/Directories.h"

#include "bootstrap/Error.h"
#include "bootstrap/ScopedOwner.h"
#include "storage/DataRoot.h"
#include "storage/PathRules.h"

#include <windows.h>

#include <algorithm>
#include <string_view>
#include <vector>

namespace Lite {

namespace {

// GetTempFileNameW with a unique value of 0 appends a backslash, the prefix, the low 16 bits of its
// number in up to four hexadecimal digits and ".tmp" to the directory.
constexpr std::size_t MaxTempDigits = 4;
constexpr std::wstring_view TempExtension = L".tmp";
constexpr std::wstring_view TempPrefix = TempFilePrefix;
// Windows refuses directories longer than MAX_PATH - 14 itself; Wine instead writes past the MAX_PATH
// buffer. The limit leaves room for the longest name it can append and the terminator.
constexpr std::size_t MaxTempDirectoryLength = MAX_PATH - 14;
static_assert(MaxTempDirectoryLength + 1 + TempPrefix.size() + MaxTempDigits + TempExtension.size() < MAX_PATH);
// A staging file is written right after its name is reserved and used up within one start: the app's
// copy is replaced right after one hash pass over it, the installer is downloaded, checked and run.
// Its last-write time is therefore never far behind while any start can still use it, even a start of
// another logon session that holds no handle on it at the moment. A day is far beyond any of that, even
// on a loaded or slow machine; only a start stopped midway for longer (a process suspended, a machine
// asleep) could lose its file, and it then ends with its own message instead of writing anything wrong.
// (An installer that runs for longer is held open by its start, so it cannot be deleted.)
constexpr ULONGLONG LeftoverAge = 24ULL * 60 * 60 * 10'000'000;  // in FILETIME units of 100 ns

using FindHandleOwner = ScopedOwner<HANDLE, &::FindClose, &IsUsableHandle>;

bool EqualsIgnoringAsciiCase(std::wstring_view left, std::wstring_view right)
{
    const auto lower = [](wchar_t c) { return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c; };
    return left.size() == right.size() &&
           std::equal(left.begin(), left.end(), right.begin(), [&](wchar_t a, wchar_t b) { return lower(a) == lower(b); });
}

bool IsHexDigit(wchar_t c)
{
    return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F');
}

// Length of the root: a drive ("C:") or the server part of a UNC path ("\\server"), followed by the
// separators directly after it.
std::size_t RootLength(const std::wstring& path)
{
    std::size_t length = 0;
    if (path.size() >= 2 && IsDriveLetter(path[0]) && path[1] == L':') {
        length = 2;
    } else if (path.size() >= 3 && IsPathSeparator(path[0]) && IsPathSeparator(path[1]) && !IsPathSeparator(path[2])) {
        length = 2;
        while (length < path.size() && !IsPathSeparator(path[length])) {
            ++length;
        }
    }
    while (length < path.size() && IsPathSeparator(path[length])) {
        ++length;
    }
    return length;
}

// The parent drops the last element (empty after a trailing separator) and the separators before it.
std::size_t ParentLength(const std::wstring& path, std::size_t length)
{
    while (length > 0 && !IsPathSeparator(path[length - 1])) {
        --length;
    }
    while (length > 0 && IsPathSeparator(path[length - 1])) {
        --length;
    }
    return length;
}

// Every level below the root, the first one below it first and the path itself last.
std::vector<std::wstring> Levels(const std::wstring& path)
{
    const std::size_t rootLength = RootLength(path);
    std::vector<std::wstring> levels;
    for (std::size_t length = path.size(); length > rootLength; length = ParentLength(path, length)) {
        levels.push_back(path.substr(0, length));
    }
    return {levels.rbegin(), levels.rend()};
}

ULONGLONG FileTimeValue(const FILETIME& time)
{
    return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// Last written more than LeftoverAge ago. A time in the future (a clock set back since) counts as
// fresh: keeping a file is always the safe side.
bool IsOldEnoughToBeLeftOver(const FILETIME& lastWrite, ULONGLONG now)
{
    const ULONGLONG written = FileTimeValue(lastWrite);
    return written < now && now - written > LeftoverAge;
}

bool IsLeftoverName(std::wstring_view name, std::wstring_view renamedEnding)
{
    if (IsTempFileName(name)) {
        return true;
    }
    return !renamedEnding.empty() && name.size() > renamedEnding.size() &&
           EqualsIgnoringAsciiCase(name.substr(name.size() - renamedEnding.size()), renamedEnding) &&
           IsTempFileName(name.substr(0, name.size() - renamedEnding.size()));
}

bool IsPlainDirectory(const std::wstring& level)
{
    return IsPlainDirectoryAttributes(::GetFileAttributesW(level.c_str()));
}

void PrepareLevel(const std::wstring& level)
{
    if (!::CreateDirectoryW(level.c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS) {
        throw Error{L"无法创建轻量版工作目录，请检查磁盘空间与权限。"};
    }
    // Levels that already existed are tested too: a link or junction anywhere on the chain would send
    // the cache somewhere the user did not choose.
    if (!IsPlainDirectory(level)) {
        throw Error{L"轻量版工作目录不可用，请选择普通本地文件夹。"};
    }
}

}

void EnsureDirectory(const std::wstring& path)
{
    for (const std::wstring& level : Levels(path)) {
        PrepareLevel(level);
    }
}

bool IsPlainDirectoryChain(const std::wstring& path)
{
    for (const std::wstring& level : Levels(path)) {
        if (!IsPlainDirectory(level)) {
            return false;
        }
    }
    return true;
}

std::wstring MakeTempFilePath(const std::wstring& directory)
{
    EnsureDirectory(directory);
    if (directory.size() > MaxTempDirectoryLength) {
        throw Error{L"无法创建下载临时文件。"};
    }
    // The string is allocated before the file exists and only shortened afterwards, which never
    // allocates: a failure to allocate cannot leave a reserved file that nobody owns.
    std::wstring path(MAX_PATH, L'\0');
    if (::GetTempFileNameW(directory.c_str(), TempFilePrefix, 0, path.data()) == 0) {
        throw Error{L"无法创建下载临时文件。"};
    }
    path.resize(std::char_traits<wchar_t>::length(path.c_str()));
    return path;
}

bool IsTempFileName(std::wstring_view name)
{
    if (name.size() <= TempPrefix.size() + TempExtension.size() ||
        name.size() > TempPrefix.size() + MaxTempDigits + TempExtension.size()) {
        return false;
    }
    const std::wstring_view digits = name.substr(TempPrefix.size(), name.size() - TempPrefix.size() - TempExtension.size());
    return EqualsIgnoringAsciiCase(name.substr(0, TempPrefix.size()), TempPrefix) &&
           EqualsIgnoringAsciiCase(name.substr(name.size() - TempExtension.size()), TempExtension) &&
           std::all_of(digits.begin(), digits.end(), IsHexDigit);
}

void RemoveLeftoverTempFiles(const std::wstring& directory, std::wstring_view renamedEnding)
{
    if (!IsPlainDirectoryChain(directory)) {
        return;
    }
    WIN32_FIND_DATAW entry{};
    // The names are filtered here rather than by a "CVN*.tmp" pattern, which Windows also matches
    // against 8.3 short names.
    FindHandleOwner search(::FindFirstFileExW(JoinPath(directory, L"*").c_str(), FindExInfoBasic, &entry,
                                              FindExSearchNameMatch, nullptr, 0));
    if (!search.IsHeld()) {
        return;
    }
    FILETIME nowTime{};
    ::GetSystemTimeAsFileTime(&nowTime);
    const ULONGLONG now = FileTimeValue(nowTime);
    std::vector<std::wstring> leftovers;
    do {
        // Never a directory, and never through a link to somewhere else.
        if (IsPlainFileAttributes(entry.dwFileAttributes) && IsLeftoverName(entry.cFileName, renamedEnding) &&
            IsOldEnoughToBeLeftOver(entry.ftLastWriteTime, now)) {
            leftovers.push_back(JoinPath(directory, entry.cFileName));
        }
    } while (::FindNextFileW(search.Get(), &entry));
    search.Reset();
    for (const std::wstring& leftover : leftovers) {
        ::DeleteFileW(leftover.c_str());
    }
}

}
