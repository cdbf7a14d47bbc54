#pragma once

// Fixtures for the runtime tests: a clean slice of the process environment, the runtime registry value
// in the test prefix, a scratch tree with runtime roots and a copy of the recording test app, and the
// records that app leaves.
#include "bootstrap/Seams.h"
#include "runtime/RuntimeProbe.h"

#include "../../tools/common/RunRecords.h"

#include <windows.h>
#include <initguid.h>
#include <knownfolders.h>
#include <objbase.h>
#include <shlobj.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace RuntimeTest {

namespace fs = std::filesystem;

inline constexpr const wchar_t* TouchedVariables[] = {
    L"DOTNET_ROOT_X64", L"DOTNET_ROOT", L"DOTNET_MULTILEVEL_LOOKUP", L"DOTNET_DISABLE_GUI_ERRORS",
    L"CORVANE_BOOTSTRAP_PATH", L"CORVANE_TEST_RECORD", L"CORVANE_TEST_EXIT_CODE", L"CORVANE_TEST_PASS_ROOT",
    L"CORVANE_TEST_SLEEP_MS", L"CORVANE_TEST_APP_SLEEP_MS",
};

// Unset and set-but-empty are told apart, so a test can check that a variable was never written.
inline std::optional<std::wstring> Variable(const wchar_t* name)
{
    ::SetLastError(ERROR_SUCCESS);
    const DWORD size = ::GetEnvironmentVariableW(name, nullptr, 0);
    if (size == 0) {
        if (::GetLastError() == ERROR_ENVVAR_NOT_FOUND) {
            return std::nullopt;
        }
        return std::wstring();
    }
    std::wstring value(size, L'\0');
    value.resize(::GetEnvironmentVariableW(name, value.data(), size));
    return value;
}

inline void SetVariable(const wchar_t* name, const std::optional<std::wstring>& value)
{
    ::SetEnvironmentVariableW(name, value ? value->c_str() : nullptr);
}

inline constexpr wchar_t InstalledVersionsKey[] = L"SOFTWARE\\dotnet\\Setup\\InstalledVersions\\x64";

// Writes "InstallLocation" into the test prefix's registry in the chosen view (64-bit unless told).
inline void SetInstallLocation(DWORD type, const void* data, DWORD bytes, REGSAM view = KEY_WOW64_64KEY)
{
    HKEY key = nullptr;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, InstalledVersionsKey, 0, nullptr, 0, KEY_SET_VALUE | view,
                                nullptr, &key, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(::RegSetValueExW(key, L"InstallLocation", 0, type, static_cast<const BYTE*>(data), bytes),
              ERROR_SUCCESS);
    ::RegCloseKey(key);
}

inline void SetInstallLocation(const std::wstring& text, REGSAM view = KEY_WOW64_64KEY)
{
    SetInstallLocation(REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)), view);
}

inline void RemoveInstallLocation()
{
    for (REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
        ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, InstalledVersionsKey, view, 0);
    }
}

inline std::wstring ProgramsFolderCandidate()
{
    PWSTR folder = nullptr;
    EXPECT_TRUE(SUCCEEDED(::SHGetKnownFolderPath(FOLDERID_ProgramFiles, 0, nullptr, &folder)));
    std::wstring candidate = std::wstring(folder) + L"\\dotnet";
    ::CoTaskMemFree(folder);
    return candidate;
}

inline std::wstring OwnExecutablePath()
{
    std::wstring buffer(32768, L'\0');
    buffer.resize(::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size())));
    return buffer;
}

// The recording app next to the other tools of the build (tests/ and tools/ are siblings).
inline fs::path TestAppBuildPath()
{
    return fs::path(OwnExecutablePath()).parent_path().parent_path() / L"tools" / L"corvane-test-app.exe";
}

using StandIn::Record;

inline std::vector<Record> ReadRecords(const fs::path& file)
{
    return StandIn::ReadRecords(file.wstring());
}

inline std::vector<Record> WaitForRecords(const fs::path& file, std::size_t count,
                                          std::chrono::milliseconds timeout = std::chrono::seconds(15))
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::vector<Record> records = ReadRecords(file);
    while (records.size() < count && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        records = ReadRecords(file);
    }
    return records;
}

// Children of this process that still run the given image name; with terminate, ends them first.
inline int RunningChildren(const std::wstring& imageName, bool terminate = false)
{
    HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return -1;
    }
    int count = 0;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = ::Process32FirstW(snapshot, &entry); more; more = ::Process32NextW(snapshot, &entry)) {
        if (entry.th32ParentProcessID != ::GetCurrentProcessId() || _wcsicmp(entry.szExeFile, imageName.c_str()) != 0) {
            continue;
        }
        ++count;
        if (terminate) {
            HANDLE process = ::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, entry.th32ProcessID);
            if (process != nullptr) {
                ::TerminateProcess(process, 1);
                ::WaitForSingleObject(process, 5000);
                ::CloseHandle(process);
            }
        }
    }
    ::CloseHandle(snapshot);
    return count;
}

// Every test starts with none of the runtime or test-app variables and no registry value, gets its own
// scratch tree with the test app copied in as "app dir\Corvane.App.exe" (a space in the path on purpose),
// and leaves the environment, the registry and the directory-open seam as it found them.
class RuntimeFixture : public testing::Test {
protected:
    void SetUp() override
    {
        for (const wchar_t* name : TouchedVariables) {
            saved_.emplace_back(name, Variable(name));
            SetVariable(name, std::nullopt);
        }
        RemoveInstallLocation();

        wchar_t temp[MAX_PATH + 1] = {};
        ::GetTempPathW(MAX_PATH + 1, temp);
        const auto* info = testing::UnitTest::GetInstance()->current_test_info();
        tree_ = fs::path(temp) / (L"corvane-runtime-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                                  std::wstring(info->name(), info->name() + std::strlen(info->name())));
        std::error_code ignored;
        fs::remove_all(tree_, ignored);
        fs::create_directories(tree_ / L"app dir");
        appPath_ = (tree_ / L"app dir" / L"Corvane.App.exe").wstring();
        ASSERT_TRUE(::CopyFileW(TestAppBuildPath().c_str(), appPath_.c_str(), FALSE))
            << "missing " << TestAppBuildPath().string();
        recordFile_ = (tree_ / L"record.bin").wstring();
        ::SetEnvironmentVariableW(L"CORVANE_TEST_RECORD", recordFile_.c_str());
    }

    void TearDown() override
    {
        Lite::Seams::openStatusTarget = originalOpenStatusTarget_;
        RemoveInstallLocation();
        for (const auto& [name, value] : saved_) {
            SetVariable(name, value);
        }
        std::error_code ignored;
        for (int attempt = 0; attempt < 50 && fs::exists(tree_, ignored); ++attempt) {
            // A launched app may still hold its image for a moment.
            fs::remove_all(tree_, ignored);
            if (ignored) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        }
    }

    // A runtime root below the scratch tree with the chosen framework directories.
    std::wstring MakeRoot(const std::wstring& name, bool netCore = true, bool desktop = true)
    {
        const fs::path root = tree_ / name;
        fs::create_directories(root);
        if (netCore) {
            fs::create_directories(root / L"shared" / L"Microsoft.NETCore.App");
        }
        if (desktop) {
            fs::create_directories(root / L"shared" / L"Microsoft.WindowsDesktop.App");
        }
        return root.wstring();
    }

    std::vector<Record> Records() const { return ReadRecords(recordFile_); }

    fs::path tree_;
    std::wstring appPath_;
    std::wstring recordFile_;

private:
    std::vector<std::pair<const wchar_t*, std::optional<std::wstring>>> saved_;
    decltype(Lite::Seams::openStatusTarget) originalOpenStatusTarget_ = Lite::Seams::openStatusTarget;
};

}
