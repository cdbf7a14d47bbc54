// Warm start as a user waits for it: from the moment the exe is started until the app's own process
// runs, with a valid cache and a first candidate root that works. That includes what no in-process timing
// sees: process creation, the loader with the manifest and the delay loads, the C and C++ run-time
// start-up and COM. It is set against a floor measured in the same run from whole processes too: a
// program that does only the unavoidable steps (the user's local application data folder asked of the
// shell, one hash of the cached app, one probe run, the app's start; warm-start-floor.exe). The exe timed
// is the recording bootstrapper of the system tests: built as the shipped exe is, with the recording test
// app as its payload, which sets a named event first thing in a normal run, so the end of a start is seen
// at once instead of by polling.
//
// The figure is the median of per-round ratios: each round times both programs back to back, so whatever
// slows the machine for a while (another build, a busy Wine server) weighs on both sides of that round's
// ratio alike instead of on one side's median. The order within a round alternates, so neither side always
// runs right after the other's processes ended. Two more starts in each round are timed for reading, not
// for the figure: the floor without the folder lookup (the shell and the libraries it brings cost a
// process a good part of its start under Wine), and RunBootstrap inside this process (what it costs
// without any process start-up).
//
// With --real-app BOOTSTRAPPER ROOT it times the same wait with Microsoft's app host and runtime instead: a
// bootstrapper build that carries the real .NET 8 app (tools/dotnet-app, which sets the named event as its
// Main goes on past the probe branch) and a complete runtime root. Its figures: the bootstrapper against the
// same floor program (hash the cached app once, probe it, start it), and against the cached app started
// directly, as if the user had started the app itself. Fewer rounds: every start here runs the .NET runtime.
#include "bootstrap/Bootstrap.h"
#include "bootstrap/Error.h"
#include "payload/PayloadCache.h"

#include <windows.h>
#include <objbase.h>
#include <tlhelp32.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int Rounds = 100;
constexpr int RealAppRounds = 20;
// Only keeps a start that never reaches the app from holding the run forever.
constexpr DWORD StepLimitMs = 60000;

double Milliseconds(Clock::duration duration)
{
    return std::chrono::duration<double, std::milli>(duration).count();
}

double Quantile(std::vector<double> values, double at)
{
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(at * static_cast<double>(values.size() - 1) + 0.5)];
}

double Median(const std::vector<double>& values)
{
    return Quantile(values, 0.5);
}

double Fastest(const std::vector<double>& values)
{
    return *std::min_element(values.begin(), values.end());
}

fs::path ProgramDirectory()
{
    wchar_t path[MAX_PATH * 4] = {};
    ::GetModuleFileNameW(nullptr, path, static_cast<DWORD>(std::size(path)));
    return fs::path(path).parent_path();
}

// Waits until the app processes that `parent` started have ended, so one measurement does not run
// alongside the previous one's child. Only the app's image counts: when this is the first program of a
// Wine session, the session's desktop process is a child of ours too, and it never ends.
void WaitForApps(DWORD parent, const std::wstring& appName)
{
    HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = ::Process32FirstW(snapshot, &entry); more; more = ::Process32NextW(snapshot, &entry)) {
        if (entry.th32ParentProcessID == parent && ::lstrcmpiW(entry.szExeFile, appName.c_str()) == 0) {
            HANDLE child = ::OpenProcess(SYNCHRONIZE, FALSE, entry.th32ProcessID);
            if (child != nullptr) {
                ::WaitForSingleObject(child, StepLimitMs);
                ::CloseHandle(child);
            }
        }
    }
    ::CloseHandle(snapshot);
}

// Under Wine a process counts as ended a moment before the handles it held are closed, so the previous
// start's single-instance name may still exist; a start now would only find another one running.
void WaitForTheGuardToGo()
{
    const ULONGLONG deadline = ::GetTickCount64() + StepLimitMs;
    for (;;) {
        HANDLE guard = ::OpenMutexW(SYNCHRONIZE, FALSE, L"Local\\Corvane.Lite.Bootstrap");
        if (guard == nullptr) {
            return;
        }
        ::CloseHandle(guard);
        if (::GetTickCount64() >= deadline) {
            throw std::runtime_error("the single-instance name outlived its start");
        }
        ::Sleep(1);
    }
}

class Starts {
public:
    Starts(HANDLE appStarted, std::wstring appName) : appStarted_(appStarted), appName_(std::move(appName)) {}

    // Milliseconds from the call that creates the process until the app it starts runs; then waits
    // until both have ended.
    double Time(const fs::path& program, const std::wstring& arguments)
    {
        std::wstring commandLine = L"\"" + program.wstring() + L"\"" + arguments;
        STARTUPINFOW startupInfo{};
        startupInfo.cb = sizeof(startupInfo);
        PROCESS_INFORMATION processInfo{};
        WaitForTheGuardToGo();
        const auto started = Clock::now();
        if (!::CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                              &startupInfo, &processInfo)) {
            throw std::runtime_error("cannot start " + program.filename().string() + " (error " +
                                     std::to_string(::GetLastError()) + ")");
        }
        const DWORD reached = ::WaitForSingleObject(appStarted_, StepLimitMs);
        const double elapsed = Milliseconds(Clock::now() - started);
        ::WaitForSingleObject(processInfo.hProcess, StepLimitMs);
        WaitForApps(processInfo.dwProcessId, appName_);
        ::CloseHandle(processInfo.hThread);
        ::CloseHandle(processInfo.hProcess);
        if (reached != WAIT_OBJECT_0) {
            throw std::runtime_error("a measured start never reached the app");
        }
        return elapsed;
    }

    double TimeInProcess()
    {
        WaitForTheGuardToGo();
        const auto started = Clock::now();
        Lite::RunBootstrap();
        const DWORD reached = ::WaitForSingleObject(appStarted_, StepLimitMs);
        const double elapsed = Milliseconds(Clock::now() - started);
        WaitForApps(::GetCurrentProcessId(), appName_);
        if (reached != WAIT_OBJECT_0) {
            throw std::runtime_error("the start inside this process never reached the app");
        }
        return elapsed;
    }

private:
    HANDLE appStarted_;
    std::wstring appName_;
};

// The copy of the app that the bootstrapper's first start left below the data root.
fs::path CachedApp(const fs::path& dataRoot)
{
    for (const auto& entry : fs::recursive_directory_iterator(dataRoot)) {
        if (entry.is_regular_file() && entry.path().filename() == L"Corvane.App.exe") {
            return entry.path();
        }
    }
    throw std::runtime_error("the bootstrapper left no cached app");
}

void PrintRatio(const wchar_t* label, const std::vector<double>& ratios)
{
    std::wprintf(L"ratio %ls: %.3f median of per-round ratios (quartiles %.3f to %.3f)\n", label, Median(ratios),
                 Quantile(ratios, 0.25), Quantile(ratios, 0.75));
}

int RealAppBench(const fs::path& bootstrapper, const std::wstring& root)
{
    const fs::path floor = ProgramDirectory() / L"warm-start-floor.exe";
    wchar_t temp[MAX_PATH + 1] = {};
    ::GetTempPathW(MAX_PATH + 1, temp);
    const fs::path scratch = fs::path(temp) / (L"corvane-warm-start-real-" + std::to_wstring(::GetCurrentProcessId()));
    const std::wstring eventName = L"Local\\CorvaneWarmStartBench-" + std::to_wstring(::GetCurrentProcessId());
    HANDLE appStarted = ::CreateEventW(nullptr, FALSE, FALSE, eventName.c_str());
    ::SetEnvironmentVariableW(L"CORVANE_TEST_STARTED_EVENT", eventName.c_str());
    ::SetEnvironmentVariableW(L"CORVANE_TEST_DATA_ROOT", (scratch / L"data").c_str());
    // Where the user's own start of the app finds the runtime too.
    ::SetEnvironmentVariableW(L"DOTNET_ROOT_X64", root.c_str());

    std::vector<double> whole;
    std::vector<double> floorTimes;
    std::vector<double> direct;
    std::vector<double> floorRatios;
    std::vector<double> directRatios;
    fs::path app;
    try {
        Starts starts(appStarted, L"Corvane.App.exe");
        // The first start fills the cache; every later one is a warm start.
        starts.Time(bootstrapper, L"");
        app = CachedApp(scratch / L"data");
        const std::wstring floorArguments = L" " + app.wstring();
        for (int round = 0; round < RealAppRounds; ++round) {
            if (round % 2 == 0) {
                whole.push_back(starts.Time(bootstrapper, L""));
                floorTimes.push_back(starts.Time(floor, floorArguments));
                direct.push_back(starts.Time(app, L""));
            } else {
                direct.push_back(starts.Time(app, L""));
                floorTimes.push_back(starts.Time(floor, floorArguments));
                whole.push_back(starts.Time(bootstrapper, L""));
            }
            floorRatios.push_back(whole.back() / floorTimes.back());
            directRatios.push_back(whole.back() / direct.back());
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "the benchmark could not run: %s\n", error.what());
        return 1;
    }

    std::wprintf(L"real .NET 8 app: %ls (%llu bytes) on %ls, %d interleaved rounds; ms from a process's start until "
                 L"the app's Main runs, as median / fastest\n",
                 app.c_str(), static_cast<unsigned long long>(fs::file_size(app)), root.c_str(), RealAppRounds);
    const struct {
        const wchar_t* label;
        const std::vector<double>& values;
    } rows[] = {{L"bootstrapper with the real app, whole process", whole},
                {L"floor program, whole process", floorTimes},
                {L"the app started directly", direct}};
    for (const auto& row : rows) {
        std::wprintf(L"  %-46ls %8.2f / %8.2f\n", row.label, Median(row.values), Fastest(row.values));
    }
    PrintRatio(L"real app: bootstrapper / floor program, whole processes", floorRatios);
    PrintRatio(L"real app: bootstrapper / the app started directly", directRatios);

    ::CloseHandle(appStarted);
    std::error_code ignored;
    fs::remove_all(scratch, ignored);
    return 0;
}

}

int wmain(int argc, wchar_t* argv[])
{
    ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (argc == 4 && std::wstring(argv[1]) == L"--real-app") {
        const int result = RealAppBench(argv[2], argv[3]);
        ::CoUninitialize();
        return result;
    }

    const fs::path build = ProgramDirectory().parent_path();
    const fs::path shipped = build / L"Corvane_Recording_Lite.exe";
    const fs::path floor = build / L"bench" / L"warm-start-floor.exe";
    const fs::path bareFloor = build / L"bench" / L"warm-start-floor-bare.exe";

    wchar_t temp[MAX_PATH + 1] = {};
    ::GetTempPathW(MAX_PATH + 1, temp);
    const fs::path scratch = fs::path(temp) / (L"corvane-warm-start-" + std::to_wstring(::GetCurrentProcessId()));
    const fs::path root = scratch / L"dotnet";
    fs::create_directories(root / L"shared" / L"Microsoft.NETCore.App");
    fs::create_directories(root / L"shared" / L"Microsoft.WindowsDesktop.App");
    // Inherited by every program started from here, the app included.
    const std::wstring eventName = L"Local\\CorvaneWarmStartBench-" + std::to_wstring(::GetCurrentProcessId());
    HANDLE appStarted = ::CreateEventW(nullptr, FALSE, FALSE, eventName.c_str());
    ::SetEnvironmentVariableW(L"CORVANE_TEST_STARTED_EVENT", eventName.c_str());
    ::SetEnvironmentVariableW(L"CORVANE_TEST_DATA_ROOT", (scratch / L"data").c_str());
    ::SetEnvironmentVariableW(L"DOTNET_ROOT_X64", root.c_str());

    std::vector<double> whole;
    std::vector<double> floorTimes;
    std::vector<double> bare;
    std::vector<double> inProcess;
    std::vector<double> ratios;
    std::vector<double> bareRatios;
    std::wstring appPath;
    try {
        appPath = Lite::EnsurePayload();
        Starts starts(appStarted, fs::path(appPath).filename().wstring());
        // The first start of the shipped exe checks the copy made above; every later one is a warm start.
        starts.Time(shipped, L"");
        const std::wstring floorArguments = L" " + appPath;
        for (int round = 0; round < Rounds; ++round) {
            if (round % 2 == 0) {
                whole.push_back(starts.Time(shipped, L""));
                floorTimes.push_back(starts.Time(floor, floorArguments));
                bare.push_back(starts.Time(bareFloor, floorArguments));
            } else {
                bare.push_back(starts.Time(bareFloor, floorArguments));
                floorTimes.push_back(starts.Time(floor, floorArguments));
                whole.push_back(starts.Time(shipped, L""));
            }
            ratios.push_back(whole.back() / floorTimes.back());
            bareRatios.push_back(whole.back() / bare.back());
            inProcess.push_back(starts.TimeInProcess());
        }
    } catch (const Lite::Error& error) {
        std::fwprintf(stderr, L"a start failed: %ls\n", error.message.c_str());
        return 1;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "the benchmark could not run: %s\n", error.what());
        return 1;
    }

    std::wprintf(L"payload: %ls (%llu bytes), %d interleaved rounds; ms from a process's start until the app runs, "
                 L"as median / fastest\n",
                 appPath.c_str(), static_cast<unsigned long long>(fs::file_size(appPath)), Rounds);
    const struct {
        const wchar_t* label;
        const std::vector<double>& values;
    } rows[] = {{L"shipped exe, whole process", whole},
                {L"floor program, whole process", floorTimes},
                {L"floor without the folder lookup (reading)", bare},
                {L"RunBootstrap in this process (reading)", inProcess}};
    for (const auto& row : rows) {
        std::wprintf(L"  %-46ls %8.2f / %8.2f\n", row.label, Median(row.values), Fastest(row.values));
    }
    std::wprintf(L"for reading: shipped exe / floor without the folder lookup: %.3f median of per-round ratios\n",
                 Median(bareRatios));
    std::wprintf(L"ratio shipped exe / floor program, whole processes: %.3f median of per-round ratios (quartiles "
                 L"%.3f to %.3f), %.3f by medians\n",
                 Median(ratios), Quantile(ratios, 0.25), Quantile(ratios, 0.75), Median(whole) / Median(floorTimes));

    ::CloseHandle(appStarted);
    std::error_code ignored;
    fs::remove_all(scratch, ignored);
    ::CoUninitialize();
    return 0;
}
