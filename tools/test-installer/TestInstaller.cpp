// Stand-in for the runtime installer, signed by the build like the real one, steered through the
// environment it inherits from the bootstrapper:
//   CORVANE_TEST_INSTALLER_RECORD     file to append one record of this run to: the command line and the
//                                     current directory, each ended by a NUL (UTF-16LE), and one more NUL
//   CORVANE_TEST_INSTALLER_WAIT_FOR   a file to wait for before going on, so a test can act while the
//                                     installer runs
//   CORVANE_TEST_INSTALLER_ROOT       directory made into a runtime root (its two framework directories)
//   CORVANE_TEST_INSTALLER_EXIT_CODE  exit code, decimal, 0 to 4294967295 (default 0)
#include <windows.h>

#include <cwchar>
#include <string>

namespace {

std::wstring Variable(const wchar_t* name)
{
    const DWORD size = ::GetEnvironmentVariableW(name, nullptr, 0);
    if (size == 0) {
        return {};
    }
    std::wstring value(size, L'\0');
    value.resize(::GetEnvironmentVariableW(name, value.data(), size));
    return value;
}

void AppendRecord(const std::wstring& file)
{
    std::wstring record = ::GetCommandLineW();
    record += L'\0';
    wchar_t directory[32768] = {};
    ::GetCurrentDirectoryW(static_cast<DWORD>(std::size(directory)), directory);
    record += directory;
    record += L'\0';
    record += L'\0';

    HANDLE handle = ::CreateFileW(file.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return;
    }
    DWORD written = 0;
    ::WriteFile(handle, record.data(), static_cast<DWORD>(record.size() * sizeof(wchar_t)), &written, nullptr);
    ::CloseHandle(handle);
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
        AppendRecord(recordFile);
    }
    const std::wstring waitFor = Variable(L"CORVANE_TEST_INSTALLER_WAIT_FOR");
    while (!waitFor.empty() && ::GetFileAttributesW(waitFor.c_str()) == INVALID_FILE_ATTRIBUTES) {
        ::Sleep(50);
    }
    const std::wstring root = Variable(L"CORVANE_TEST_INSTALLER_ROOT");
    if (!root.empty()) {
        MakeRuntimeRoot(root);
    }
    const std::wstring exitCode = Variable(L"CORVANE_TEST_INSTALLER_EXIT_CODE");
    // ExitProcess, not a return from wWinMain: the value is a full 32-bit code such as 4294967295.
    ::ExitProcess(exitCode.empty() ? 0 : static_cast<UINT>(std::wcstoul(exitCode.c_str(), nullptr, 10)));
}
