// Recording stand-in for the app, steered through its inherited environment:
//   CORVANE_TEST_RECORD     file to append one record of this run to: the command line, the current
//                           directory and every environment string, each ended by a NUL (UTF-16LE), and
//                           one more NUL to end the record
//   CORVANE_TEST_EXIT_CODE  exit code of a probe run (default 0) ...
//   CORVANE_TEST_PASS_ROOT  ... except that a probe run under DOTNET_ROOT equal to this exits with 0
//   CORVANE_TEST_SLEEP_MS   how long a probe run sleeps before it exits
//   CORVANE_TEST_APP_SLEEP_MS  how long a normal run sleeps before it exits with 0
#include <windows.h>
#include <shellapi.h>

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

DWORD Number(const wchar_t* name, DWORD fallback)
{
    const std::wstring text = Variable(name);
    return text.empty() ? fallback : static_cast<DWORD>(std::wcstoul(text.c_str(), nullptr, 10));
}

void AppendRecord(const std::wstring& file)
{
    std::wstring record = ::GetCommandLineW();
    record += L'\0';
    wchar_t directory[32768] = {};
    ::GetCurrentDirectoryW(static_cast<DWORD>(std::size(directory)), directory);
    record += directory;
    record += L'\0';
    wchar_t* block = ::GetEnvironmentStringsW();
    for (const wchar_t* entry = block; *entry != L'\0'; entry += std::wcslen(entry) + 1) {
        record += entry;
        record += L'\0';
    }
    ::FreeEnvironmentStringsW(block);
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

}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    int argc = 0;
    LPWSTR* argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
    const bool probe = argv != nullptr && argc == 2 && std::wstring(argv[1]) == L"--corvane-runtime-probe";
    ::LocalFree(argv);

    const std::wstring recordFile = Variable(L"CORVANE_TEST_RECORD");
    if (!recordFile.empty()) {
        AppendRecord(recordFile);
    }
    if (!probe) {
        ::Sleep(Number(L"CORVANE_TEST_APP_SLEEP_MS", 0));
        return 0;
    }
    ::Sleep(Number(L"CORVANE_TEST_SLEEP_MS", 0));
    const std::wstring passRoot = Variable(L"CORVANE_TEST_PASS_ROOT");
    if (!passRoot.empty() && Variable(L"DOTNET_ROOT") == passRoot) {
        return 0;
    }
    return static_cast<int>(Number(L"CORVANE_TEST_EXIT_CODE", 0));
}
