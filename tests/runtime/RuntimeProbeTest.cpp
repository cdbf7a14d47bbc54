#include "runtime/RuntimeProbe.h"

#include "RuntimeTestSupport.h"
#include "common/WineFiles.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using RuntimeTest::Variable;

class RuntimeProbe : public RuntimeTest::RuntimeFixture {
protected:
    void ExpectEnvironmentUntouched()
    {
        for (const wchar_t* name :
             {L"DOTNET_ROOT_X64", L"DOTNET_ROOT", L"DOTNET_MULTILEVEL_LOOKUP", L"DOTNET_DISABLE_GUI_ERRORS"}) {
            EXPECT_EQ(Variable(name), std::nullopt) << fs::path(name).string();
        }
    }

    void ExpectEnvironmentHolds(const std::wstring& root)
    {
        EXPECT_EQ(Variable(L"DOTNET_ROOT_X64"), root);
        EXPECT_EQ(Variable(L"DOTNET_ROOT"), root);
        EXPECT_EQ(Variable(L"DOTNET_MULTILEVEL_LOOKUP"), L"0");
        EXPECT_EQ(Variable(L"DOTNET_DISABLE_GUI_ERRORS"), L"1");
    }
};

TEST(QuotePath, WrapsThePathInOnePairOfQuotesWithoutEscaping)
{
    EXPECT_EQ(Lite::QuotePath(L"C:\\a b\\x.exe"), L"\"C:\\a b\\x.exe\"");
    EXPECT_EQ(Lite::QuotePath(L"C:\\ab\\"), L"\"C:\\ab\\\"");
}

TEST(AppDirectory, DropsTheLastComponentAndTheSeparatorsBeforeIt)
{
    EXPECT_EQ(Lite::AppDirectory(L"C:\\cache\\2.0.1\\abc\\Corvane.App.exe"), L"C:\\cache\\2.0.1\\abc");
    EXPECT_EQ(Lite::AppDirectory(L"C:/cache//Corvane.App.exe"), L"C:/cache");
    EXPECT_EQ(Lite::AppDirectory(L"\\\\server\\share\\Corvane.App.exe"), L"\\\\server\\share");
    // "C:" alone would name the drive's current directory, not its root.
    EXPECT_EQ(Lite::AppDirectory(L"C:\\Corvane.App.exe"), L"C:\\");
}

TEST_F(RuntimeProbe, PassingRunSeesItsCommandLineDirectoryAndVariables)
{
    const std::wstring root = MakeRoot(L"runtime root");
    EXPECT_TRUE(Lite::ProbeRuntime(appPath_, root));

    const auto records = Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].commandLine, L"\"" + appPath_ + L"\" --corvane-runtime-probe");
    EXPECT_EQ(records[0].currentDirectory, (tree_ / L"app dir").wstring());
    EXPECT_EQ(records[0].At(L"DOTNET_ROOT_X64"), root);
    EXPECT_EQ(records[0].At(L"DOTNET_ROOT"), root);
    EXPECT_EQ(records[0].At(L"DOTNET_MULTILEVEL_LOOKUP"), L"0");
    EXPECT_EQ(records[0].At(L"DOTNET_DISABLE_GUI_ERRORS"), L"1");
    // The variables stay in the bootstrapper's own environment afterwards.
    ExpectEnvironmentHolds(root);
}

TEST_F(RuntimeProbe, RootWithoutBothFrameworkDirectoriesStartsNothingAndTouchesNothing)
{
    std::ofstream(tree_ / L"plain file") << "x";
    struct Case {
        const wchar_t* label;
        std::wstring root;
    };
    const std::vector<Case> cases = {
        {L"no desktop framework", MakeRoot(L"core only", true, false)},
        {L"no core framework", MakeRoot(L"desktop only", false, true)},
        {L"no shared directory", MakeRoot(L"empty", false, false)},
        {L"root does not exist", (tree_ / L"missing").wstring()},
        {L"root is a file", (tree_ / L"plain file").wstring()},
        {L"name the platform refuses", (tree_ / L"bad|name").wstring()},
        {L"server that does not exist", L"\\\\no-such-server-corvane\\share\\dotnet"},
    };
    for (const Case& c : cases) {
        EXPECT_FALSE(Lite::ProbeRuntime(appPath_, c.root)) << fs::path(c.label).string();
    }
    EXPECT_TRUE(Records().empty());
    ExpectEnvironmentUntouched();
}

TEST_F(RuntimeProbe, OnlyExitCodeZeroPasses)
{
    const std::wstring root = MakeRoot(L"rt");
    for (const wchar_t* code : {L"1", L"3", L"259", L"4294967295"}) {
        ::SetEnvironmentVariableW(L"CORVANE_TEST_EXIT_CODE", code);
        EXPECT_FALSE(Lite::ProbeRuntime(appPath_, root)) << fs::path(code).string();
    }
    EXPECT_EQ(Records().size(), 4u);
}

TEST_F(RuntimeProbe, AppThatCannotStartFailsAfterTheVariablesAreSet)
{
    const std::wstring root = MakeRoot(L"rt");
    EXPECT_FALSE(Lite::ProbeRuntime((tree_ / L"app dir" / L"Gone.exe").wstring(), root));
    ExpectEnvironmentHolds(root);
}

TEST_F(RuntimeProbe, RunStillGoingAfterTenSecondsIsTerminatedAndFails)
{
    const std::wstring root = MakeRoot(L"rt");
    ::SetEnvironmentVariableW(L"CORVANE_TEST_SLEEP_MS", L"13000");  // would exit 0, but too late

    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(Lite::ProbeRuntime(appPath_, root));
    const auto elapsed = std::chrono::steady_clock::now() - started;

    EXPECT_GE(elapsed, std::chrono::milliseconds(9900));
    EXPECT_LT(elapsed, std::chrono::milliseconds(12500));
    EXPECT_EQ(Records().size(), 1u);
    EXPECT_EQ(RuntimeTest::RunningChildren(L"Corvane.App.exe"), 0);
}

TEST_F(RuntimeProbe, SearchTakesTheFirstRootThatPassesAndStopsThere)
{
    const std::wstring failing = MakeRoot(L"failing");
    const std::wstring passing = MakeRoot(L"passing");
    const std::wstring alsoPassing = MakeRoot(L"also passing");
    ::SetEnvironmentVariableW(L"CORVANE_TEST_EXIT_CODE", L"3");
    ::SetEnvironmentVariableW(L"CORVANE_TEST_PASS_ROOT", passing.c_str());
    ::SetEnvironmentVariableW(L"DOTNET_ROOT_X64", failing.c_str());
    ::SetEnvironmentVariableW(L"DOTNET_ROOT", passing.c_str());
    RuntimeTest::SetInstallLocation(alsoPassing);

    EXPECT_EQ(Lite::FindWorkingRuntime(appPath_), passing);

    const auto records = Records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].At(L"DOTNET_ROOT"), failing);
    EXPECT_EQ(records[0].At(L"DOTNET_ROOT_X64"), failing);
    EXPECT_EQ(records[1].At(L"DOTNET_ROOT"), passing);
    EXPECT_EQ(records[1].At(L"DOTNET_ROOT_X64"), passing);
}

TEST_F(RuntimeProbe, FailedSearchLeavesTheLastRootThatHadItsFrameworks)
{
    const std::wstring failing = MakeRoot(L"failing");
    ::SetEnvironmentVariableW(L"CORVANE_TEST_EXIT_CODE", L"1");
    ::SetEnvironmentVariableW(L"DOTNET_ROOT_X64", failing.c_str());
    ::SetEnvironmentVariableW(L"DOTNET_ROOT", MakeRoot(L"incomplete", true, false).c_str());

    EXPECT_EQ(Lite::FindWorkingRuntime(appPath_), L"");
    EXPECT_EQ(Records().size(), 1u);
    ExpectEnvironmentHolds(failing);
}

TEST_F(RuntimeProbe, SearchWithoutAnyUsableRootStartsNothingAndTouchesNothing)
{
    ::SetEnvironmentVariableW(L"DOTNET_ROOT", MakeRoot(L"incomplete", false, true).c_str());
    EXPECT_EQ(Lite::FindWorkingRuntime(appPath_), L"");
    EXPECT_TRUE(Records().empty());
    // The root we set ourselves is still there; nothing else was written.
    EXPECT_EQ(Variable(L"DOTNET_ROOT_X64"), std::nullopt);
    EXPECT_EQ(Variable(L"DOTNET_MULTILEVEL_LOOKUP"), std::nullopt);
    EXPECT_EQ(Variable(L"DOTNET_DISABLE_GUI_ERRORS"), std::nullopt);
}

// Wraps the one platform call behind the framework-directory check: the real call, recording what
// it was asked and the code it left, or, where Wine cannot produce the condition, a failure with a
// given platform code (what the real call reports then).
struct OpenCall {
    std::wstring path;
    DWORD flags;
    DWORD error;
};
std::vector<OpenCall> openCalls;
DWORD injectedError = ERROR_SUCCESS;

HANDLE WINAPI RecordingOpen(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                            DWORD disposition, DWORD flags, HANDLE templateFile)
{
    HANDLE handle = ::CreateFileW(path, access, share, security, disposition, flags, templateFile);
    const DWORD error = handle == INVALID_HANDLE_VALUE ? ::GetLastError() : ERROR_SUCCESS;
    openCalls.push_back({path, flags, error});
    ::SetLastError(error);
    return handle;
}

HANDLE WINAPI FailingOpen(LPCWSTR path, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD flags, HANDLE)
{
    openCalls.push_back({path, flags, injectedError});
    ::SetLastError(injectedError);
    return INVALID_HANDLE_VALUE;
}

std::vector<std::wstring> OpenedPaths()
{
    std::vector<std::wstring> paths;
    for (const OpenCall& call : openCalls) {
        paths.push_back(call.path);
    }
    return paths;
}

bool RunningUnderWine()
{
    return ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

TEST_F(RuntimeProbe, DesktopFrameworkIsExaminedFirstAndAloneWhenMissing)
{
    const std::wstring complete = MakeRoot(L"complete");
    const std::wstring coreOnly = MakeRoot(L"core only", true, false);
    ::SetEnvironmentVariableW(L"CORVANE_TEST_EXIT_CODE", L"1");
    Lite::Seams::openStatusTarget = &RecordingOpen;

    openCalls.clear();
    Lite::ProbeRuntime(appPath_, complete);
    EXPECT_EQ(OpenedPaths(), (std::vector<std::wstring>{complete + L"\\shared\\Microsoft.WindowsDesktop.App",
                                                        complete + L"\\shared\\Microsoft.NETCore.App"}));
    openCalls.clear();
    Lite::ProbeRuntime(appPath_, coreOnly);
    EXPECT_EQ(OpenedPaths(), std::vector<std::wstring>{coreOnly + L"\\shared\\Microsoft.WindowsDesktop.App"});
}

TEST_F(RuntimeProbe, NotFoundAsThePlatformReallyReportsItSkipsTheCandidate)
{
    std::ofstream(tree_ / L"plain file") << "x";
    // The codes Wine 8 really returns for each case, measured with the real call. Windows may answer
    // some of them with other members of the not-found group (a path through a file: ERROR_DIRECTORY or
    // ERROR_PATH_NOT_FOUND; an unknown server: ERROR_BAD_NETPATH).
    struct Case {
        const wchar_t* label;
        std::wstring root;
        DWORD wineCode;
    };
    const std::vector<Case> cases = {
        {L"desktop framework missing", MakeRoot(L"core only", true, false), ERROR_FILE_NOT_FOUND},
        {L"no shared directory", MakeRoot(L"empty", false, false), ERROR_PATH_NOT_FOUND},
        {L"root does not exist", (tree_ / L"missing").wstring(), ERROR_PATH_NOT_FOUND},
        {L"name with an illegal character", (tree_ / L"bad|name").wstring(), ERROR_INVALID_NAME},
        {L"path through a file", (tree_ / L"plain file").wstring(), ERROR_PATH_NOT_FOUND},
        {L"server that does not exist", L"\\\\no-such-server-corvane\\share\\dotnet", ERROR_PATH_NOT_FOUND},
    };
    Lite::Seams::openStatusTarget = &RecordingOpen;
    for (const Case& c : cases) {
        SCOPED_TRACE(fs::path(c.label).string());
        openCalls.clear();
        EXPECT_FALSE(Lite::ProbeRuntime(appPath_, c.root));
        ASSERT_EQ(openCalls.size(), 1u);
        const DWORD code = openCalls[0].error;
        EXPECT_TRUE(code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND || code == ERROR_BAD_NETPATH ||
                    code == ERROR_NETNAME_DELETED || code == ERROR_INVALID_NAME || code == ERROR_DIRECTORY)
            << code;
        if (RunningUnderWine()) {
            EXPECT_EQ(code, c.wineCode);
        }
        // Links are followed: the open asks for no reparse point of its own.
        EXPECT_EQ(openCalls[0].flags & FILE_FLAG_OPEN_REPARSE_POINT, 0u);
    }
    EXPECT_TRUE(Records().empty());
    ExpectEnvironmentUntouched();
}

TEST_F(RuntimeProbe, FrameworkDirectoriesReachedThroughLinksCount)
{
    // The link lives in a scratch directory of its own, whose removal never follows links.
    LiteTest::ScratchDirectory linkedRoot;
    const std::wstring elsewhere = MakeRoot(L"elsewhere");
    LiteTest::MakeDirectoryLink(linkedRoot / L"shared", elsewhere + L"\\shared");
    EXPECT_TRUE(Lite::ProbeRuntime(appPath_, linkedRoot.Path()));
    EXPECT_EQ(Records().size(), 1u);
}

TEST_F(RuntimeProbe, AccessDeniedOnTheFirstCandidateEndsTheSearch)
{
    const std::wstring denied = MakeRoot(L"denied");
    ::SetEnvironmentVariableW(L"DOTNET_ROOT_X64", denied.c_str());
    const std::wstring wouldWork = MakeRoot(L"would work");
    ::SetEnvironmentVariableW(L"DOTNET_ROOT", wouldWork.c_str());
    openCalls.clear();
    // Wine never refuses this open (as root it ignores permissions, and an unreadable directory reads
    // as "not found"), so the refusal Windows gives comes from the seam, as the platform code it is.
    injectedError = ERROR_ACCESS_DENIED;
    Lite::Seams::openStatusTarget = &FailingOpen;

    try {
        Lite::FindWorkingRuntime(appPath_);
        ADD_FAILURE() << "expected a filesystem error";
    } catch (const std::filesystem::filesystem_error& error) {
        EXPECT_EQ(error.code(), std::error_code(ERROR_ACCESS_DENIED, std::system_category()));
        EXPECT_EQ(error.path1().wstring(), denied + L"\\shared\\Microsoft.WindowsDesktop.App");
        EXPECT_NE(std::string(error.what()).find("status"), std::string::npos) << error.what();
    }
    EXPECT_EQ(OpenedPaths(), std::vector<std::wstring>{denied + L"\\shared\\Microsoft.WindowsDesktop.App"});
    EXPECT_TRUE(Records().empty());
    EXPECT_EQ(Variable(L"DOTNET_ROOT_X64"), denied);
    EXPECT_EQ(Variable(L"DOTNET_ROOT"), wouldWork);
    EXPECT_EQ(Variable(L"DOTNET_MULTILEVEL_LOOKUP"), std::nullopt);
    EXPECT_EQ(Variable(L"DOTNET_DISABLE_GUI_ERRORS"), std::nullopt);
}

TEST_F(RuntimeProbe, PlatformNotFoundCodesCountAsMissingOthersThrow)
{
    const std::wstring root = MakeRoot(L"rt");
    Lite::Seams::openStatusTarget = &FailingOpen;
    for (DWORD code : {ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND, ERROR_BAD_NETPATH, ERROR_NETNAME_DELETED,
                       ERROR_INVALID_NAME, ERROR_DIRECTORY}) {
        injectedError = code;
        EXPECT_FALSE(Lite::ProbeRuntime(appPath_, root)) << code;
    }
    for (DWORD code : {ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION, ERROR_NOT_READY, ERROR_BAD_NET_NAME}) {
        injectedError = code;
        try {
            Lite::ProbeRuntime(appPath_, root);
            ADD_FAILURE() << "expected a filesystem error for " << code;
        } catch (const std::filesystem::filesystem_error& error) {
            EXPECT_EQ(error.code(), std::error_code(static_cast<int>(code), std::system_category()));
        }
    }
    EXPECT_TRUE(Records().empty());
    ExpectEnvironmentUntouched();
}

TEST(RuntimeRecords, CountOnlyOnceTheirClosingFieldIsWritten)
{
    // The app writes its record while the test may already be reading it.
    const fs::path file = fs::temp_directory_path() / L"corvane-partial-record.bin";
    using namespace std::string_literals;
    const std::wstring complete = L"\"app.exe\" --x\0C:\\dir\0A=1\0\0"s;
    const std::wstring partial = L"\"app.exe\"\0C:\\dir\0B=2\0"s;
    for (std::size_t cut : {partial.size(), partial.size() - 1, std::size_t{3}}) {
        std::ofstream(file, std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(complete.data()), complete.size() * sizeof(wchar_t))
            .write(reinterpret_cast<const char*>(partial.data()), cut * sizeof(wchar_t));
        const auto records = RuntimeTest::ReadRecords(file);
        ASSERT_EQ(records.size(), 1u) << cut;
        EXPECT_EQ(records[0].commandLine, L"\"app.exe\" --x");
        EXPECT_EQ(records[0].At(L"A"), L"1");
    }
    fs::remove(file);
}

}
