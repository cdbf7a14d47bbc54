#include "storage/Directories.h"

#include "bootstrap/Error.h"
#include "storage/DataRoot.h"
#include "storage/PathRules.h"

#include <windows.h>

#include <vector>

namespace Lite {

namespace {

// GetTempFileNameW appends a backslash, the prefix, up to four hex digits and ".tmp" to the directory;
// Windows refuses longer directories itself, Wine instead writes past the MAX_PATH buffer.
constexpr std::size_t MaxTempDirectoryLength = MAX_PATH - 14;

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
    const DWORD attributes = ::GetFileAttributesW(level.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == FILE_ATTRIBUTE_DIRECTORY;
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
    wchar_t buffer[MAX_PATH] = {};
    if (::GetTempFileNameW(directory.c_str(), TempFilePrefix, 0, buffer) == 0) {
        throw Error{L"无法创建下载临时文件。"};
    }
    return buffer;
}

}
