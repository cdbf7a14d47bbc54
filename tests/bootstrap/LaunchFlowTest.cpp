#include "bootstrap/Error.h"
#include "bootstrap/LaunchFlow.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace {

// Substitute operations that answer from a script and count how often each one ran.
struct ScriptedSteps {
    std::vector<bool> probeAnswers;
    bool consent = false;
    std::uint32_t installerCode = 0;
    int probes = 0;
    int asks = 0;
    int installs = 0;
    int launches = 0;

    Lite::LaunchSteps Bind()
    {
        return {
            .probeRuntime = [this] { return probeAnswers.at(probes++); },
            .askToInstall = [this] { ++asks; return consent; },
            .installRuntime = [this] { ++installs; return installerCode; },
            .launchApp = [this] { ++launches; },
        };
    }
};

struct FlowCase {
    const char* name;
    std::vector<bool> probeAnswers;
    bool consent;
    std::uint32_t installerCode;
    std::optional<std::wstring> expectedMessage;  // nullopt: returns 0
    int expectedProbes;
    int expectedAsks;
    int expectedInstalls;
    int expectedLaunches;
};

class LaunchFlowOutcome : public testing::TestWithParam<FlowCase> {};

TEST_P(LaunchFlowOutcome, EndsAsTheUserShouldSee)
{
    const FlowCase& c = GetParam();
    ScriptedSteps script{.probeAnswers = c.probeAnswers, .consent = c.consent, .installerCode = c.installerCode};
    Lite::LaunchSteps steps = script.Bind();

    if (c.expectedMessage) {
        try {
            Lite::RunLaunchFlow(steps);
            FAIL() << "expected an Error";
        } catch (const Lite::Error& error) {
            EXPECT_EQ(error.message, *c.expectedMessage);
        }
    } else {
        EXPECT_EQ(Lite::RunLaunchFlow(steps), 0);
    }
    EXPECT_EQ(script.probes, c.expectedProbes);
    EXPECT_EQ(script.asks, c.expectedAsks);
    EXPECT_EQ(script.installs, c.expectedInstalls);
    EXPECT_EQ(script.launches, c.expectedLaunches);
}

INSTANTIATE_TEST_SUITE_P(
    EveryOutcome, LaunchFlowOutcome,
    testing::Values(
        FlowCase{"RuntimeFoundAtOnce", {true}, false, 0, std::nullopt, 1, 0, 0, 1},
        FlowCase{"UserDeclines", {false}, false, 0, std::nullopt, 1, 1, 0, 0},
        FlowCase{"InstallerCancelled", {false}, true, 1602, std::nullopt, 1, 1, 1, 0},
        FlowCase{"InstalledAndFound", {false, true}, true, 0, std::nullopt, 2, 1, 1, 1},
        FlowCase{"RestartRequestedButUsableAtOnce", {false, true}, true, 3010, std::nullopt, 2, 1, 1, 1},
        FlowCase{"RestartRequestedNothingFound", {false, false}, true, 3010,
                 L"运行环境已安装，需要重启电脑。重启后重新打开轻量版即可。", 2, 1, 1, 0},
        FlowCase{"InstalledNothingFound", {false, false}, true, 0,
                 L"安装已结束，但所需运行环境尚未就绪。请重启后重试，或使用完整版。", 2, 1, 1, 0},
        FlowCase{"InstallerFailed", {false}, true, 1603,
                 L"运行环境安装未完成（错误码 1603）。请重试或使用完整版。", 1, 1, 1, 0},
        FlowCase{"RestartInitiatedIsAFailure", {false}, true, 1641,
                 L"运行环境安装未完成（错误码 1641）。请重试或使用完整版。", 1, 1, 1, 0},
        FlowCase{"AllBitsSetShowsTenDigits", {false}, true, 4294967295u,
                 L"运行环境安装未完成（错误码 4294967295）。请重试或使用完整版。", 1, 1, 1, 0}),
    [](const testing::TestParamInfo<FlowCase>& info) { return std::string(info.param.name); });

TEST(LaunchFlow, ErrorsOfTheOperationsPassThroughUnchanged)
{
    Lite::LaunchSteps steps{
        .probeRuntime = [] { return true; },
        .askToInstall = [] { return false; },
        .installRuntime = [] { return std::uint32_t{0}; },
        .launchApp = [] { throw Lite::Error{L"运行环境已就绪，但截图工具未能启动。请重新打开轻量版，或使用完整版。"}; },
    };
    try {
        Lite::RunLaunchFlow(steps);
        FAIL() << "expected an Error";
    } catch (const Lite::Error& error) {
        EXPECT_EQ(error.message, L"运行环境已就绪，但截图工具未能启动。请重新打开轻量版，或使用完整版。");
    }
}

TEST(FormatUnsignedDecimal, WritesPlainDigits)
{
    EXPECT_EQ(Lite::FormatUnsignedDecimal(0), L"0");
    EXPECT_EQ(Lite::FormatUnsignedDecimal(7), L"7");
    EXPECT_EQ(Lite::FormatUnsignedDecimal(1000), L"1000");
    EXPECT_EQ(Lite::FormatUnsignedDecimal(3010), L"3010");
    EXPECT_EQ(Lite::FormatUnsignedDecimal(4294967295u), L"4294967295");
}

}
