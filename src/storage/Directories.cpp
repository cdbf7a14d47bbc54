#include "storage/Directories.h"

#include "bootstrap/Error.h"
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

}
