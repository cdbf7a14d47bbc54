// Stand-in for the runtime installer, signed by the build like the real one, steered through the
// environment it inherits from the bootstrapper:
//   CORVANE_TEST_INSTALLER_RECORD     file to append one record of this run to: the command line and the
//                                     current directory, each ended by a NUL (UTF-16LE), and one more NUL
//   CORVANE_TEST_INSTALLER_WAIT_FOR   a file to wait for before going on, so a test can act while the
//                                     installer runs
//   CORVANE_TEST_INSTALLER_ROOT       directory made into a runtime root (its two framework directories)
//   CORVANE_TEST_INSTALLER_RUNTIME    a runtime root whose files are copied into that directory, as the
//                                     real installer lays down Microsoft's runtime
//   CORVANE_TEST_INSTALLER_EXIT_CODE  exit code, decimal, 0 to 4294967295 (default 0)
#include "../common/StandIn.h"

#include <windows.h>

#include <cwchar>
#include <string>

#ifdef CORVANE_INSTALLER_PADDING_BYTES
// The demo's build of the installer is as large as a download whose progress a person can watch (the
// dialog reports whole mebibytes); the bytes are never read.
extern const unsigned char installerPadding[CORVANE_INSTALLER_PADDING_BYTES];
const unsigned char installerPadding[CORVANE_INSTALLER_PADDING_BYTES] = {1};
#endif

namespace {

using StandIn::AppendRecord;
using StandIn::Number;
using StandIn::Variable;

// Copies every file and directory below source into target, which may exist already.
void CopyTree(const std::wstring& source, const std::wstring& target)
{
    ::CreateDirectoryW(target.c_str(), nullptr);
    WIN32_FIND_DATAW entry{};
    HANDLE search = ::FindFirstFileW((source + L"\\*").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..") {
            continue;
        }
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            CopyTree(source + L"\\" + name, target + L"\\" + name);
        } else {
            ::CopyFileW((source + L"\\" + name).c_str(), (target + L"\\" + name).c_str(), FALSE);
        }
    } while (::FindNextFileW(search, &entry));
    ::FindClose(search);
}

void MakeRuntimeRoot(const std::wstring& root)
{
    const std::wstring shared = root + L"\\shared";
    ::CreateDirectoryW(root.c_str(), nullptr);
    ::CreateDirectoryW(shared.c_str(), nullptr);
    ::CreateDirectoryW((shared + L"\\Microsoft.NETCore.App").c_str(), nullptr);
    ::CreateDirectoryW((shared + L"\\Microsoft.WindowsDesktop.App").c_str(), nullptr);
}

}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    const std::wstring recordFile = Variable(L"CORVANE_TEST_INSTALLER_RECORD");
    if (!recordFile.empty()) {
        AppendRecord(recordFile, false);
    }
    const std::wstring waitFor = Variable(L"CORVANE_TEST_INSTALLER_WAIT_FOR");
    while (!waitFor.empty() && ::GetFileAttributesW(waitFor.c_str()) == INVALID_FILE_ATTRIBUTES) {
        ::Sleep(50);
    }
    const std::wstring root = Variable(L"CORVANE_TEST_INSTALLER_ROOT");
    if (!root.empty()) {
        const std::wstring runtime = Variable(L"CORVANE_TEST_INSTALLER_RUNTIME");
        if (runtime.empty()) {
            MakeRuntimeRoot(root);
        } else {
            CopyTree(runtime, root);
        }
    }
    ::ExitProcess(Number(L"CORVANE_TEST_INSTALLER_EXIT_CODE", 0));
}
