#pragma once

// What the stand-in programs of the tests (the recording app and the test installer) share: they are
// steered through the environment they inherit and append a record of how they were started.

#include <windows.h>

#include <cwchar>
#include <string>

namespace StandIn {

inline std::wstring Variable(const wchar_t* name)
{
    const DWORD size = ::GetEnvironmentVariableW(name, nullptr, 0);
    if (size == 0) {
        return {};
    }
    std::wstring value(size, L'\0');
    value.resize(::GetEnvironmentVariableW(name, value.data(), size));
    return value;
}

inline DWORD Number(const wchar_t* name, DWORD fallback)
{
    const std::wstring text = Variable(name);
    return text.empty() ? fallback : static_cast<DWORD>(std::wcstoul(text.c_str(), nullptr, 10));
}

// Appends one record to the file: the command line, the current directory and, if asked, every
// environment string, each ended by a NUL (UTF-16LE), and one more NUL to end the record.
inline void AppendRecord(const std::wstring& file, bool withEnvironment)
{
    std::wstring record = ::GetCommandLineW();
    record += L'\0';
    wchar_t directory[32768] = {};
    ::GetCurrentDirectoryW(static_cast<DWORD>(std::size(directory)), directory);
    record += directory;
    record += L'\0';
    if (withEnvironment) {
        wchar_t* block = ::GetEnvironmentStringsW();
        for (const wchar_t* entry = block; *entry != L'\0'; entry += std::wcslen(entry) + 1) {
            record += entry;
            record += L'\0';
        }
        ::FreeEnvironmentStringsW(block);
    }
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
