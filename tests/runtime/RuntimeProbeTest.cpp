#include "runtime/RuntimeProbe.h"

#include "RuntimeTestSupport.h"

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
    EXPECT_EQ(Lite::AppDirectory(L"C:\\cache\\1.3.7\\abc\\Corvane.App.exe"), L"C:\\cache\\1.3.7\\abc");
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

// The seam stands in for the status query only: Wine reports an unreadable directory as "not found" and
// never fails a status query with access denied, which is the case that must stop the whole start.
std::vector<std::wstring> queriedPaths;
std::error_code injectedError;

std::filesystem::file_status FailingStatusQuery(const fs::path& path, std::error_code& error)
{
    queriedPaths.push_back(path.wstring());
    error = injectedError;
    return std::filesystem::file_status(std::filesystem::file_type::none);
}

std::filesystem::file_status RecordingStatusQuery(const fs::path& path, std::error_code& error)
{
    queriedPaths.push_back(path.wstring());
    return std::filesystem::status(path, error);
}

TEST_F(RuntimeProbe, DesktopFrameworkIsExaminedFirstAndAloneWhenMissing)
{
    const std::wstring complete = MakeRoot(L"complete");
    const std::wstring coreOnly = MakeRoot(L"core only", true, false);
    ::SetEnvironmentVariableW(L"CORVANE_TEST_EXIT_CODE", L"1");
    Lite::frameworkStatusQuery = &RecordingStatusQuery;

    queriedPaths.clear();
    Lite::ProbeRuntime(appPath_, complete);
    EXPECT_EQ(queriedPaths, (std::vector<std::wstring>{complete + L"\\shared\\Microsoft.WindowsDesktop.App",
                                                       complete + L"\\shared\\Microsoft.NETCore.App"}));
    queriedPaths.clear();
    Lite::ProbeRuntime(appPath_, coreOnly);
    EXPECT_EQ(queriedPaths, std::vector<std::wstring>{coreOnly + L"\\shared\\Microsoft.WindowsDesktop.App"});
}

TEST_F(RuntimeProbe, AccessDeniedOnTheFirstCandidateEndsTheSearch)
{
    const std::wstring denied = MakeRoot(L"denied");
    ::SetEnvironmentVariableW(L"DOTNET_ROOT_X64", denied.c_str());
    const std::wstring wouldWork = MakeRoot(L"would work");
    ::SetEnvironmentVariableW(L"DOTNET_ROOT", wouldWork.c_str());
    queriedPaths.clear();
    injectedError = std::error_code(ERROR_ACCESS_DENIED, std::system_category());
    Lite::frameworkStatusQuery = &FailingStatusQuery;

    try {
        Lite::FindWorkingRuntime(appPath_);
        ADD_FAILURE() << "expected a filesystem error";
    } catch (const std::filesystem::filesystem_error& error) {
        EXPECT_EQ(error.code(), injectedError);
        EXPECT_EQ(error.path1().wstring(), denied + L"\\shared\\Microsoft.WindowsDesktop.App");
        EXPECT_NE(std::string(error.what()).find("status"), std::string::npos) << error.what();
    }
    EXPECT_EQ(queriedPaths, std::vector<std::wstring>{denied + L"\\shared\\Microsoft.WindowsDesktop.App"});
    EXPECT_TRUE(Records().empty());
    EXPECT_EQ(Variable(L"DOTNET_ROOT_X64"), denied);
    EXPECT_EQ(Variable(L"DOTNET_ROOT"), wouldWork);
    EXPECT_EQ(Variable(L"DOTNET_MULTILEVEL_LOOKUP"), std::nullopt);
    EXPECT_EQ(Variable(L"DOTNET_DISABLE_GUI_ERRORS"), std::nullopt);
}

TEST_F(RuntimeProbe, PlatformNotFoundCodesCountAsMissingOthersThrow)
{
    const std::wstring root = MakeRoot(L"rt");
    Lite::frameworkStatusQuery = &FailingStatusQuery;
    for (DWORD code : {ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND, ERROR_BAD_NETPATH, ERROR_NETNAME_DELETED,
                       ERROR_INVALID_NAME, ERROR_DIRECTORY}) {
        injectedError = std::error_code(static_cast<int>(code), std::system_category());
        EXPECT_FALSE(Lite::ProbeRuntime(appPath_, root)) << code;
    }
    for (DWORD code : {ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION, ERROR_NOT_READY}) {
        injectedError = std::error_code(static_cast<int>(code), std::system_category());
        EXPECT_THROW(Lite::ProbeRuntime(appPath_, root), std::filesystem::filesystem_error) << code;
    }
    EXPECT_TRUE(Records().empty());
    ExpectEnvironmentUntouched();
}

}
