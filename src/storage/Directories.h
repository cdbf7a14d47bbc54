#pragma once

#include <string>

namespace Lite {

// Creates the directory and every missing ancestor below the root, and refuses a chain in which any
// level is not a plain directory (a file, a junction, a directory link).
void EnsureDirectory(const std::wstring& path);

// The same test without creating anything: true while every level below the root, down to the path
// itself, is a plain directory. For checking again later that a prepared chain was not redirected.
bool IsPlainDirectoryChain(const std::wstring& path);

// Prepares the directory and reserves a new, empty, uniquely named file in it ("CVN" prefix). The
// caller owns the file.
std::wstring MakeTempFilePath(const std::wstring& directory);

}
