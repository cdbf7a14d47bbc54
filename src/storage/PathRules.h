#pragma once

#include <windows.h>

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

}
