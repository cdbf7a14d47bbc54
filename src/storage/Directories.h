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

// Removes what killed starts left in a directory: files named exactly as MakeTempFilePath names them, or
// (where the caller renames its reserved file by adding an ending) that name followed by
// `renamedEnding`, last written a day or more ago. A kill between reserving a name and the end of its use
// leaves such a file, as large as what was being written, and every kill would add one. The
// single-instance guard covers one logon session only, so a start of another session may be using a
// fresher one while it holds no handle on it; none of these files stays unwritten for long while in use.
// Never a directory, never a link, never in a directory reached through a link, never a directory that
// does not exist yet (nothing is created). Best effort: what cannot be listed or deleted (a file held
// open) stays, and no file-system condition makes it throw.
void RemoveLeftoverTempFiles(const std::wstring& directory, std::wstring_view renamedEnding = {});

}
