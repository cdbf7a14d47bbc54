#include "runtime/AppLaunch.h"

#include "bootstrap/Error.h"
#include "RuntimeTestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>

namespace {

using RuntimeTest::Variable;

class AppLaunch : public RuntimeTest::RuntimeFixture {};

TEST_F(AppLaunch, AppGetsTheRootAsListedItsOwnDirectoryAndOurPathButNoProbeSwitches)
{
    const std::wstring root = MakeRoot(L"rt") + L"\\";
    // What a probe left behind must not reach the app.
    ::SetEnvironmentVariableW(L"DOTNET_DISABLE_GUI_ERRORS", L"1");
    ::SetEnvironmentVariableW(L"DOTNET_ROOT", L"D:\\older");
    ::SetEnvironmentVariableW(L"CORVANE_TEST_APP_SLEEP_MS", L"30000");

    const auto started = std::chrono::steady_clock::now();
    Lite::LaunchApp(appPath_, root);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5)) << "waited for the app";

    const auto records = RuntimeTest::WaitForRecords(recordFile_, 1);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].commandLine, L"\"" + appPath_ + L"\"");
    EXPECT_EQ(records[0].currentDirectory, (tree_ / L"app dir").wstring());
    EXPECT_EQ(records[0].At(L"DOTNET_ROOT_X64"), root);
    EXPECT_EQ(records[0].At(L"DOTNET_ROOT"), root);
    EXPECT_EQ(records[0].At(L"DOTNET_MULTILEVEL_LOOKUP"), L"0");
    EXPECT_FALSE(records[0].Has(L"DOTNET_DISABLE_GUI_ERRORS"));
    EXPECT_EQ(records[0].At(L"CORVANE_BOOTSTRAP_PATH"), RuntimeTest::OwnExecutablePath());
    EXPECT_EQ(RuntimeTest::RunningChildren(L"Corvane.App.exe", true), 1) << "the app should still be running";
}

TEST_F(AppLaunch, AppThatCannotBeStartedIsReportedAfterTheVariablesAreSet)
{
    const std::wstring root = MakeRoot(L"rt");
    ::SetEnvironmentVariableW(L"DOTNET_DISABLE_GUI_ERRORS", L"1");
    try {
        Lite::LaunchApp((tree_ / L"app dir" / L"Gone.exe").wstring(), root);
        ADD_FAILURE() << "expected an Error";
    } catch (const Lite::Error& error) {
        EXPECT_EQ(error.message, L"运行环境已就绪，但截图工具未能启动。请重新打开轻量版，或使用完整版。");
    }
    EXPECT_EQ(Variable(L"DOTNET_ROOT_X64"), root);
    EXPECT_EQ(Variable(L"DOTNET_ROOT"), root);
    EXPECT_EQ(Variable(L"DOTNET_MULTILEVEL_LOOKUP"), L"0");
    EXPECT_EQ(Variable(L"DOTNET_DISABLE_GUI_ERRORS"), std::nullopt);
    EXPECT_EQ(Variable(L"CORVANE_BOOTSTRAP_PATH"), RuntimeTest::OwnExecutablePath());
}

}
