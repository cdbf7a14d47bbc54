#pragma once

#include <windows.h>

#include <filesystem>
#include <string>
#include <system_error>

namespace Lite {

// Either slash separates path elements on this platform.
inline bool IsPathSeparator(wchar_t c)
{
    return c == L'\\' || c == L'/';
}

inline bool IsDriveLetter(wchar_t c)
{
    return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z');
}

// The errors that mean "nothing is there". Every other failure to look at a path means we cannot judge
// it, and callers must not treat it as absent.
inline bool IsNotFoundError(DWORD error)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_BAD_NETPATH:
    case ERROR_NETNAME_DELETED:
    case ERROR_INVALID_NAME:
    case ERROR_DIRECTORY:
        return true;
    default:
        return false;
    }
}

// For a query that has already failed with `error`: "nothing is there" answers false, and any other
// failure throws the standard filesystem error for the operation, since a path we cannot judge must not
// be taken for an absent one.
inline bool FalseIfNotFound(DWORD error, const char* operation, const std::wstring& path)
{
    if (IsNotFoundError(error)) {
        return false;
    }
    throw std::filesystem::filesystem_error(operation, std::filesystem::path(path),
                                            std::error_code(static_cast<int>(error), std::system_category()));
}

// What attributes say about a name, each false when they could not be read (INVALID_FILE_ATTRIBUTES).
// A reparse point counts as a link: it may lead anywhere.

// A directory reached without a link.
inline bool IsPlainDirectoryAttributes(DWORD attributes)
{
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == FILE_ATTRIBUTE_DIRECTORY;
}

// Something other than a file at the name: a directory, a link or both.
inline bool IsDirectoryOrLinkAttributes(DWORD attributes)
{
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0;
}

// A file that is neither a directory nor a link.
inline bool IsPlainFileAttributes(DWORD attributes)
{
    return attributes != INVALID_FILE_ATTRIBUTES && !IsDirectoryOrLinkAttributes(attributes);
}

}
