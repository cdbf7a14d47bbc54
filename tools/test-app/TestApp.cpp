// Recording stand-in for the app, steered through its inherited environment:
//   CORVANE_TEST_RECORD     file to append one record of this run to: the command line, the current
//                           directory and every environment string, each ended by a NUL (UTF-16LE), and
//                           one more NUL to end the record
//   CORVANE_TEST_EXIT_CODE  exit code of a probe run (default 0) ...
//   CORVANE_TEST_PASS_ROOT  ... except that a probe run under DOTNET_ROOT equal to this exits with 0
//   CORVANE_TEST_SLEEP_MS   how long a probe run sleeps before it exits
//   CORVANE_TEST_PROBE_WAIT_FOR  a file a probe run waits for before it exits, so a test can act while
//                           the bootstrapper is held in its probe
//   CORVANE_TEST_APP_SLEEP_MS  how long a normal run sleeps before it exits with 0
//   CORVANE_TEST_STARTED_EVENT  a named event a normal run sets first thing, so a benchmark can time a
//                           start until the app's own process runs
#include "../common/StandIn.h"

#include <windows.h>
#include <shellapi.h>

#include <cwchar>
#include <string>

namespace {

using StandIn::AppendRecord;
using StandIn::Number;
using StandIn::Variable;

}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    int argc = 0;
    LPWSTR* argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
    const bool probe = argv != nullptr && argc == 2 && std::wstring(argv[1]) == L"--corvane-runtime-probe";
    ::LocalFree(argv);

    const std::wstring startedEvent = Variable(L"CORVANE_TEST_STARTED_EVENT");
    if (!probe && !startedEvent.empty()) {
        HANDLE event = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, startedEvent.c_str());
        if (event != nullptr) {
            ::SetEvent(event);
            ::CloseHandle(event);
        }
    }

    const std::wstring recordFile = Variable(L"CORVANE_TEST_RECORD");
    if (!recordFile.empty()) {
        AppendRecord(recordFile, true);
    }
    if (!probe) {
        ::Sleep(Number(L"CORVANE_TEST_APP_SLEEP_MS", 0));
        return 0;
    }
    ::Sleep(Number(L"CORVANE_TEST_SLEEP_MS", 0));
    const std::wstring waitFor = Variable(L"CORVANE_TEST_PROBE_WAIT_FOR");
    while (!waitFor.empty() && ::GetFileAttributesW(waitFor.c_str()) == INVALID_FILE_ATTRIBUTES) {
        ::Sleep(50);
    }
    const std::wstring passRoot = Variable(L"CORVANE_TEST_PASS_ROOT");
    if (!passRoot.empty() && Variable(L"DOTNET_ROOT") == passRoot) {
        return 0;
    }
    return static_cast<int>(Number(L"CORVANE_TEST_EXIT_CODE", 0));
}
