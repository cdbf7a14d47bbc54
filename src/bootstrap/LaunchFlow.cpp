#include "bootstrap/LaunchFlow.h"

#include "bootstrap/Error.h"

namespace Lite {

namespace {

constexpr std::uint32_t InstallerSucceeded = 0;
constexpr std::uint32_t InstallerCancelled = 1602;      // ERROR_INSTALL_USEREXIT
constexpr std::uint32_t InstallerNeedsRestart = 3010;   // ERROR_SUCCESS_REBOOT_REQUIRED

}

std::wstring FormatUnsignedDecimal(std::uint32_t value)
{
    std::wstring digits;
    do {
        digits.insert(digits.begin(), static_cast<wchar_t>(L'0' + value % 10));
        value /= 10;
    } while (value != 0);
    return digits;
}

int RunLaunchFlow(LaunchSteps& steps)
{
    if (steps.probeRuntime()) {
        steps.launchApp();
        return 0;
    }
    if (!steps.askToInstall()) {
        return 0;
    }

    const std::uint32_t code = steps.installRuntime();
    if (code == InstallerCancelled) {
        return 0;
    }
    if (code != InstallerSucceeded && code != InstallerNeedsRestart) {
        throw Error{L"运行环境安装未完成（错误码 " + FormatUnsignedDecimal(code) + L"）。请重试或使用完整版。"};
    }

    // A runtime that works right away wins over a restart request: the user never hears of it.
    if (steps.probeRuntime()) {
        steps.launchApp();
        return 0;
    }
    if (code == InstallerNeedsRestart) {
        throw Error{L"运行环境已安装，需要重启电脑。重启后重新打开轻量版即可。"};
    }
    throw Error{L"安装已结束，但所需运行环境尚未就绪。请重启后重试，或使用完整版。"};
}

}
