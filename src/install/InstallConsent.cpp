#include "install/InstallConsent.h"

#include "bootstrap/BuildConfig.h"
#include "bootstrap/Error.h"
#include "bootstrap/Seams.h"
#include "install/TaskDialogs.h"

#include <string>

namespace Lite {

namespace {

constexpr int DownloadButtonId = 100;

}

bool AskToInstallRuntime()
{
    PrepareTaskDialogs();
    const TASKDIALOG_BUTTON buttons[] = {
        {DownloadButtonId, L"下载并安装\n从微软官方下载所需运行环境"},
        {IDCANCEL, L"暂不安装，退出轻量版"},
    };

    TASKDIALOGCONFIG config{};
    config.cbSize = sizeof(config);
    config.dwFlags = TDF_ALLOW_DIALOG_CANCELLATION | TDF_USE_COMMAND_LINKS;
    config.pszWindowTitle = L"Corvane 轻量版 \u2014 需要运行环境";
    config.pszMainIcon = TD_INFORMATION_ICON;
    // The texts name the major version of the runtime this build installs.
    const std::wstring major(Build::RuntimeMajorVersion);
    const std::wstring mainInstruction = L"首次使用需要安装 .NET " + major + L" 桌面运行环境";
    const std::wstring content =
        L"这台电脑尚未具备运行截图工具所需的 .NET " + major + L" Desktop Runtime（64 位）。\n\n"
        L"点击“下载并安装”后，将从微软官方下载并安装。下载量约几十 MB，仅缺少环境时需要；安装时 Windows "
        L"可能请求管理员确认。\n\n"
        L"安装完成后自动启动截图工具。您也可以暂不安装，改用无需另装环境的完整版。";
    config.pszMainInstruction = mainInstruction.c_str();
    config.pszContent = content.c_str();
    config.cButtons = ARRAYSIZE(buttons);
    config.pButtons = buttons;
    config.nDefaultButton = DownloadButtonId;

    // A dialog that ends without naming a button counts as a decline.
    int chosenButton = IDCANCEL;
    if (FAILED(Seams::taskDialog(&config, &chosenButton, nullptr, nullptr))) {
        throw Error{L"无法显示运行环境提示。"};
    }
    return chosenButton == DownloadButtonId;
}

}
