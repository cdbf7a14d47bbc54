// Warm start: one whole start (valid cache, the first candidate root works) against the parts no
// bootstrapper can avoid, measured in the same run and the same process: one SHA-256 of the cached app
// through a bare CNG loop, one probe run of the app, one creation of the app's process.
//
// The figure is the median of per-round ratios: each round times the whole start and its parts back to
// back, so whatever slows the machine for a while (another build, a busy Wine server) weighs on both
// sides of that round's ratio alike instead of on one side's median. The order within a round alternates,
// so neither side always runs right after the previous round's children ended. Medians and fastest rounds
// of each step are printed for reading, not for the figure.
#include "bootstrap/Bootstrap.h"
#include "bootstrap/Error.h"
#include "payload/PayloadCache.h"

#include <windows.h>
#include <bcrypt.h>
#include <objbase.h>
#include <tlhelp32.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int Rounds = 100;

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

// Lets every app we started finish, so one measurement does not run alongside the previous one's child.
// Only the app's image counts: when this is the first program of a Wine session, the session's desktop
// process is a child of ours too, and it never ends.
void WaitForChildren(const std::wstring& appName)
{
    HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = ::Process32FirstW(snapshot, &entry); more; more = ::Process32NextW(snapshot, &entry)) {
        if (entry.th32ParentProcessID == ::GetCurrentProcessId() && ::lstrcmpiW(entry.szExeFile, appName.c_str()) == 0) {
            HANDLE child = ::OpenProcess(SYNCHRONIZE, FALSE, entry.th32ProcessID);
            if (child != nullptr) {
                ::WaitForSingleObject(child, 10000);
                ::CloseHandle(child);
            }
        }
    }
    ::CloseHandle(snapshot);
}

void BareHash(const std::wstring& path)
{
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    ::BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
    ::BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0);
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    std::vector<UCHAR> buffer(64 * 1024);
    DWORD read = 0;
    while (::ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr) && read != 0) {
        ::BCryptHashData(hash, buffer.data(), read, 0);
    }
    UCHAR digest[32];
    ::BCryptFinishHash(hash, digest, sizeof(digest), 0);
    ::CloseHandle(file);
    ::BCryptDestroyHash(hash);
    ::BCryptCloseAlgorithmProvider(algorithm, 0);
}

HANDLE StartApp(const std::wstring& appPath, const std::wstring& arguments, DWORD flags)
{
    std::wstring commandLine = L"\"" + appPath + L"\"" + arguments;
    const std::wstring directory = fs::path(appPath).parent_path().wstring();
    STARTUPINFOW startupInfo{};
    startupInfo.cb = sizeof(startupInfo);
    PROCESS_INFORMATION processInfo{};
    if (!::CreateProcessW(appPath.c_str(), commandLine.data(), nullptr, nullptr, FALSE, flags, nullptr,
                          directory.c_str(), &startupInfo, &processInfo)) {
        return nullptr;
    }
    ::CloseHandle(processInfo.hThread);
    return processInfo.hProcess;
}

void BareProbe(const std::wstring& appPath)
{
    HANDLE process = StartApp(appPath, L" --corvane-runtime-probe", CREATE_NO_WINDOW);
    ::WaitForSingleObject(process, 10000);
    ::CloseHandle(process);
}

void BareCreation(const std::wstring& appPath)
{
    ::CloseHandle(StartApp(appPath, L"", 0));
}

}

int wmain()
{
    ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);

    wchar_t temp[MAX_PATH + 1] = {};
    ::GetTempPathW(MAX_PATH + 1, temp);
    const fs::path scratch = fs::path(temp) / (L"corvane-warm-start-" + std::to_wstring(::GetCurrentProcessId()));
    const fs::path root = scratch / L"dotnet";
    fs::create_directories(root / L"shared" / L"Microsoft.NETCore.App");
    fs::create_directories(root / L"shared" / L"Microsoft.WindowsDesktop.App");
    ::SetEnvironmentVariableW(L"CORVANE_TEST_DATA_ROOT", (scratch / L"data").c_str());
    ::SetEnvironmentVariableW(L"DOTNET_ROOT_X64", root.c_str());

    std::wstring appPath;
    try {
        Lite::RunBootstrap();  // the first start fills the cache; every later one is warm
        appPath = Lite::EnsurePayload();
    } catch (const Lite::Error& error) {
        std::fwprintf(stderr, L"warm-up start failed: %ls\n", error.message.c_str());
        return 1;
    }
    const std::wstring appName = fs::path(appPath).filename().wstring();
    WaitForChildren(appName);

    std::vector<double> whole;
    std::vector<double> hash;
    std::vector<double> probe;
    std::vector<double> creation;
    auto time = [&](std::vector<double>& into, const std::function<void()>& step) {
        const auto started = Clock::now();
        step();
        into.push_back(Milliseconds(Clock::now() - started));
        WaitForChildren(appName);
    };
    const auto parts = [&] {
        time(hash, [&] { BareHash(appPath); });
        time(probe, [&] { BareProbe(appPath); });
        time(creation, [&] { BareCreation(appPath); });
    };
    std::vector<double> ratios;
    for (int round = 0; round < Rounds; ++round) {
        if (round % 2 == 0) {
            time(whole, [] { Lite::RunBootstrap(); });
            parts();
        } else {
            parts();
            time(whole, [] { Lite::RunBootstrap(); });
        }
        ratios.push_back(whole.back() / (hash.back() + probe.back() + creation.back()));
    }

    std::wprintf(L"payload: %ls (%llu bytes), %d interleaved rounds; ms as median / fastest\n", appPath.c_str(),
                 static_cast<unsigned long long>(fs::file_size(appPath)), Rounds);
    const struct {
        const wchar_t* label;
        const std::vector<double>& values;
    } rows[] = {{L"whole warm start", whole},
                {L"one hash of the payload", hash},
                {L"one probe run", probe},
                {L"one process creation", creation}};
    for (const auto& row : rows) {
        std::wprintf(L"  %-24ls %8.2f / %8.2f\n", row.label, Median(row.values), Fastest(row.values));
    }
    const double medianRatio = Median(whole) / (Median(hash) + Median(probe) + Median(creation));
    std::wprintf(L"ratio whole / (hash + probe + creation): %.3f median of per-round ratios (quartiles %.3f to "
                 L"%.3f), %.3f by medians\n",
                 Median(ratios), Quantile(ratios, 0.25), Quantile(ratios, 0.75), medianRatio);

    std::error_code ignored;
    fs::remove_all(scratch, ignored);
    ::CoUninitialize();
    return 0;
}
