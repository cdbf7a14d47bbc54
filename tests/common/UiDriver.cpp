#include "common/UiDriver.h"

#include "common/TestText.h"
#include "common/WineFiles.h"

#include <windows.h>

namespace LiteTest {

UiResult RunUiHelper(const std::vector<std::wstring>& arguments)
{
    std::wstring commandLine = L"\"" + ToolPath(L"ui-helper.exe") + L"\"";
    for (const auto& argument : arguments) {
        commandLine += L" \"" + argument + L"\"";
    }

    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    UiResult result;
    if (!::CreatePipe(&readEnd, &writeEnd, &inherit, 0)) {
        return result;
    }
    ::SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    startup.hStdInput = nullptr;
    PROCESS_INFORMATION process{};
    const BOOL started = ::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                          &startup, &process);
    ::CloseHandle(writeEnd);
    if (started) {
        char buffer[4096];
        DWORD read = 0;
        while (::ReadFile(readEnd, buffer, sizeof(buffer), &read, nullptr) && read != 0) {
            result.output.append(buffer, read);
        }
        ::WaitForSingleObject(process.hProcess, INFINITE);
        DWORD code = 0;
        ::GetExitCodeProcess(process.hProcess, &code);
        result.exitCode = static_cast<int>(code);
        ::CloseHandle(process.hThread);
        ::CloseHandle(process.hProcess);
    }
    ::CloseHandle(readEnd);
    return result;
}

std::string JsonString(const std::wstring& text)
{
    std::string out = "\"";
    for (char c : Utf8(text)) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default: out += c;
        }
    }
    return out + "\"";
}

}
