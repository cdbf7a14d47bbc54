#include "install/InstallConsent.h"

#include "ReleaseConstants.h"
#include "bootstrap/Error.h"
#include "bootstrap/Seams.h"
#include "common/DialogTitles.h"
#include "common/UiDriver.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace {

const std::wstring Title = LiteTest::ConsentTitle;
const std::wstring MainInstruction = std::wstring(L"首次使用需要安装 .NET ") + LiteTest::RuntimeMajor + L" 桌面运行环境";
const std::wstring Content =
    std::wstring(L"这台电脑尚未具备运行截图工具所需的 .NET ") + LiteTest::RuntimeMajor + L" Desktop Runtime（64 位）。\n\n"
    L"点击“下载并安装”后，将从微软官方下载并安装。下载量约几十 MB，仅缺少环境时需要；安装时 Windows 可能请求管理员确认。\n\n"
    L"安装完成后自动启动截图工具。您也可以暂不安装，改用无需另装环境的完整版。";
const std::wstring DownloadLink = L"下载并安装\n从微软官方下载所需运行环境";
const std::wstring DeclineLink = L"暂不安装，退出轻量版";

// Shows the real prompt on this thread while a second thread acts on it through ui-helper, as a user
// would. Returns the prompt's answer; `description` receives what "read" saw, when asked for.
bool AnswerPrompt(const std::vector<std::wstring>& action, std::string* description = nullptr)
{
    std::thread user([&] {
        if (description != nullptr) {
            const auto read = LiteTest::RunUiHelper({L"read", Title, L"--timeout", L"20000"});
            EXPECT_EQ(read.exitCode, 0) << "the prompt did not appear";
            *description = read.output;
        }
        std::vector<std::wstring> arguments = action;
        arguments.insert(arguments.begin() + 1, Title);
        EXPECT_EQ(LiteTest::RunUiHelper(arguments).exitCode, 0);
        // Never leave the test hanging in a dialog that ignored the action.
        if (LiteTest::RunUiHelper({L"gone", Title, L"--timeout", L"10000"}).exitCode != 0) {
            ADD_FAILURE() << "the prompt stayed open";
            LiteTest::RunUiHelper({L"click", Title, L"2"});
        }
    });
    bool answer = false;
    try {
        answer = Lite::AskToInstallRuntime();
    } catch (const Lite::Error& error) {
        ADD_FAILURE() << "the prompt failed: " << testing::PrintToString(error.message);
    }
    user.join();
    return answer;
}

TEST(InstallConsent, ShowsThePromptAndTheDownloadLinkAnswersYes)
{
    std::string description;
    EXPECT_TRUE(AnswerPrompt({L"click", L"100"}, &description));

    EXPECT_NE(description.find("\"title\":" + LiteTest::JsonString(Title)), std::string::npos) << description;
    EXPECT_NE(description.find("\"text\":" + LiteTest::JsonString(MainInstruction)), std::string::npos)
        << description;
    EXPECT_NE(description.find("\"text\":" + LiteTest::JsonString(Content)), std::string::npos) << description;
    EXPECT_NE(description.find("\"id\":100,\"text\":" + LiteTest::JsonString(DownloadLink)), std::string::npos)
        << description;
    EXPECT_NE(description.find("\"id\":2,\"text\":" + LiteTest::JsonString(DeclineLink)), std::string::npos)
        << description;
    EXPECT_NE(description.find("\"icon\":\"information\""), std::string::npos) << description;
}

TEST(InstallConsent, EnterChoosesTheDefaultDownloadLink)
{
    EXPECT_TRUE(AnswerPrompt({L"key", L"enter"}));
}

TEST(InstallConsent, EveryOtherEndingDeclines)
{
    const std::vector<std::vector<std::wstring>> endings = {
        {L"click", L"2"}, {L"key", L"esc"}, {L"key", L"alt+f4"}, {L"close"}};
    for (const auto& ending : endings) {
        SCOPED_TRACE(testing::PrintToString(ending));
        EXPECT_FALSE(AnswerPrompt(ending));
    }
}

// A failing dialog call cannot be produced with a real window; the seam stands in for it.
struct DialogCallOverride {
    explicit DialogCallOverride(decltype(Lite::Seams::taskDialog) replacement)
        : saved(Lite::Seams::taskDialog)
    {
        Lite::Seams::taskDialog = replacement;
    }
    ~DialogCallOverride() { Lite::Seams::taskDialog = saved; }
    decltype(Lite::Seams::taskDialog) saved;
};

TEST(InstallConsent, AFailingDialogCallIsAnError)
{
    DialogCallOverride failing([](const TASKDIALOGCONFIG*, int*, int*, BOOL*) -> HRESULT { return E_OUTOFMEMORY; });
    try {
        Lite::AskToInstallRuntime();
        ADD_FAILURE() << "no error";
    } catch (const Lite::Error& error) {
        EXPECT_EQ(error.message, L"无法显示运行环境提示。");
    }
}

TEST(InstallConsent, AnEndingThatNamesNoButtonDeclines)
{
    DialogCallOverride silent([](const TASKDIALOGCONFIG*, int*, int*, BOOL*) -> HRESULT { return S_OK; });
    EXPECT_FALSE(Lite::AskToInstallRuntime());
}

}
