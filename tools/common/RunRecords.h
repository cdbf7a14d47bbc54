#pragma once

// The one reader of the records that StandIn::AppendRecord writes, for the C++ tests and, through
// `ui-helper records`, for the Python ones: a change to the format is made here once.

#include <windows.h>

#include <map>
#include <string>
#include <vector>

namespace StandIn {

// What one run of a stand-in saw.
struct Record {
    std::wstring commandLine;
    std::wstring currentDirectory;
    std::map<std::wstring, std::wstring> environment;

    bool Has(const std::wstring& name) const { return environment.count(name) != 0; }
    std::wstring At(const std::wstring& name) const
    {
        const auto found = environment.find(name);
        return found == environment.end() ? L"<unset>" : found->second;
    }
};

// The whole file as it is now; empty when it does not exist (yet).
inline std::wstring ReadRecordText(const std::wstring& file)
{
    HANDLE handle = ::CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return {};
    }
    // What is there now: a record appended meanwhile is read the next time.
    std::wstring text;
    LARGE_INTEGER size{};
    if (::GetFileSizeEx(handle, &size)) {
        text.resize(static_cast<std::size_t>(size.QuadPart) / sizeof(wchar_t));
        DWORD read = 0;
        if (!::ReadFile(handle, text.data(), static_cast<DWORD>(text.size() * sizeof(wchar_t)), &read, nullptr)) {
            read = 0;
        }
        text.resize(read / sizeof(wchar_t));
    }
    ::CloseHandle(handle);
    return text;
}

// A record counts only once its closing empty field is there: the stand-in may still be writing the
// last one while the test reads.
inline std::vector<Record> ReadRecords(const std::wstring& file)
{
    const std::wstring text = ReadRecordText(file);
    // Only fields whose NUL has been written.
    std::vector<std::wstring> fields;
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = text.find(L'\0', start);
        if (end == std::wstring::npos) {
            break;
        }
        fields.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    std::vector<Record> records;
    for (std::size_t i = 0; i + 1 < fields.size();) {
        Record record{fields[i], fields[i + 1], {}};
        i += 2;
        for (; i < fields.size() && !fields[i].empty(); ++i) {
            // Names such as "=C:" start with '=', so the separator is searched from the second unit on.
            const std::size_t equals = fields[i].find(L'=', 1);
            record.environment[fields[i].substr(0, equals)] =
                equals == std::wstring::npos ? std::wstring() : fields[i].substr(equals + 1);
        }
        if (i == fields.size()) {
            break;
        }
        ++i;
        records.push_back(std::move(record));
    }
    return records;
}

}
