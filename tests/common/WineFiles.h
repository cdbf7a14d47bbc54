#pragma once

// Real-file fixtures for tests that run under Wine: scratch directories, directory links that show as
// reparse points, files held open by another process, and small file and environment helpers.

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

namespace LiteTest {

// A new, empty directory of its own under the prefix's temporary folder, removed with everything in
// it (links included, never their targets) when the object goes.
class ScratchDirectory {
public:
    ScratchDirectory();
    ~ScratchDirectory();
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    const std::wstring& Path() const { return path_; }
    std::wstring operator/(const std::wstring& name) const { return path_ + L"\\" + name; }

private:
    std::wstring path_;
};

// A directory symbolic link made on the Unix side: CreateSymbolicLinkW creates nothing under Wine, but
// a Unix link to a directory shows as a reparse point, which is what a junction looks like.
void MakeDirectoryLink(const std::wstring& link, const std::wstring& target);

// Runs a shell command on the Unix side and returns once it has finished: a program of the same user
// changing files the way no Wine process could, since Wine's share modes do not bind native processes.
// Paths in it come from UnixPath; the command must contain no double quotes.
void RunUnixShell(const std::string& command);

// Another Wine process (tools/ui-helper.exe hold-file) holds the file open for writing while the
// object lives; share modes are only enforced between Wine processes.
class FileHolder {
public:
    enum class Sharing { None, Read };
    FileHolder(const std::wstring& path, Sharing sharing);
    ~FileHolder();
    FileHolder(const FileHolder&) = delete;
    FileHolder& operator=(const FileHolder&) = delete;
    void Release();

private:
    HANDLE process_ = nullptr;
    HANDLE input_ = nullptr;
};

// Sets (or, with nullptr, removes) a variable of this process's environment for one scope.
class EnvironmentOverride {
public:
    EnvironmentOverride(const wchar_t* name, const wchar_t* value);
    ~EnvironmentOverride();
    EnvironmentOverride(const EnvironmentOverride&) = delete;
    EnvironmentOverride& operator=(const EnvironmentOverride&) = delete;

private:
    std::wstring name_;
    std::wstring previous_;
    bool hadValue_;
};

void WriteBytes(const std::wstring& path, const std::string& bytes);
// Sets the file's last-write time to the given number of seconds before now (the platform's own clock).
void SetLastWriteAge(const std::wstring& path, unsigned long long secondsAgo);
std::string ReadBytes(const std::wstring& path);
bool IsDirectory(const std::wstring& path);
bool Exists(const std::wstring& path);
std::vector<std::wstring> ListNames(const std::wstring& directory);
// The directory that holds this test program (build/tests).
std::wstring ProgramDirectory();
// The full path of a program the build puts in build/tools (helpers, stand-ins, the demo app).
std::wstring ToolPath(const std::wstring& name);

// Exclusive write access, a rename and a delete all succeed: proof that nobody holds the file.
::testing::AssertionResult IsFreeToReplace(const std::wstring& path);

}
