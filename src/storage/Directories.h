#pragma once

#include <string>
#include <string_view>

namespace Lite {

// Creates the directory and every missing ancestor below the root, and refuses a chain in which any
// level is not a plain directory (a file, a junction, a directory link).
void EnsureDirectory(const std::wstring& path);

// The same test without creating anything: true while every level below the root, down to the path
// itself, is a plain directory. For checking again later that a prepared chain was not redirected.
bool IsPlainDirectoryChain(const std::wstring& path);

// Prepares the directory and reserves a new, empty, uniquely named file in it ("CVN" prefix). The
// caller owns the file. Nothing allocates between the file's creation and the return, so the caller
// can hand the returned name straight to its owner.
std::wstring MakeTempFilePath(const std::wstring& directory);

// Whether a file name has exactly the form MakeTempFilePath gives its files. Letter case is ignored as
// the file system ignores it; everything else must match, since callers decide deletions by it.
bool IsTempFileName(std::wstring_view name);

}
