#include "install/DownloadDialog.h"

#include "bootstrap/Error.h"
#include "bootstrap/Seams.h"
#include "common/DialogTitles.h"
#include "common/DownloadServer.h"
#include "common/TestText.h"
#include "common/UiDriver.h"
#include "common/WineFiles.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <commctrl.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace {

using LiteTest::UnixPath;
using LiteTest::Utf8;

const std::wstring Title = LiteTest::DownloadTitle;
const std::wstring MainInstruction = std::wstring(L"正在准备 .NET ") + LiteTest::RuntimeMajor + L" 桌面运行环境";
const std::wstring Connecting = L"正在连接微软下载服务。下载期间可以取消。";
const std::wstring Verifying = L"下载已完成，正在核验微软安装文件……";
const std::wstring Cancelling = L"正在取消下载，请稍候……";
const std::wstring DigestRefused = L"下载文件校验未通过，已停止安装。请检查网络后重试。";
const std::wstring NotCompleted = L"下载未完成。";
const std::wstring GenericFailure = L"下载或校验失败，请稍后重试。";
const std::wstring ServiceUnavailable = L"微软下载服务暂时不可用，请稍后重试。";

std::wstring SignedTestInstaller()
{
    return LiteTest::ToolPath(L"corvane-test-installer.exe");
}

std::string Scenario(const std::string& routeJson)
{
    return std::string("{\"routes\":{\"") + Utf8(LiteTest::InstallerUrlPath) + "\":" + routeJson + "}}";
}

std::string FileRoute(const std::wstring& file, const std::string& extra = {})
{
    return Scenario("{\"file\":\"" + UnixPath(file) + "\"" + extra + "}");
}

// Headers and a body held back: the worker waits in its first read until the scenario is replaced, however
// long that takes (a stalled body would end after the download's receive timeout).
std::string HeldRoute()
{
    return FileRoute(SignedTestInstaller(), ",\"hold_after\":0");
}

// The description ui-helper gave of one child window, found by a piece of it ("class":..., "id":...).
std::string Child(const std::string& description, const std::string& piece)
{
    const size_t at = description.find(piece);
    if (at == std::string::npos) {
        return {};
    }
    const size_t begin = description.rfind('{', at);
    return description.substr(begin, description.find('}', at) - begin + 1);
}

bool Shows(const std::string& description, const std::wstring& text)
{
    return description.find("\"text\":" + LiteTest::JsonString(text)) != std::string::npos;
}

std::string ReadDialog()
{
    const auto read = LiteTest::RunUiHelper({L"read", Title, L"--timeout", L"20000"});
    EXPECT_EQ(read.exitCode, 0) << "the download dialog did not appear";
    return read.output;
}

// The dialog belongs to this process, so it is looked for here: a helper process asked the same question
// can itself fail to start or end on a loaded machine, and its failure read as "still open".
bool DialogShown()
{
    bool shown = false;
    ::EnumWindows(
        [](HWND window, LPARAM found) -> BOOL {
            wchar_t text[256] = {};
            ::GetWindowTextW(window, text, 256);
            if (::IsWindowVisible(window) && Title == text) {
                *reinterpret_cast<bool*>(found) = true;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&shown));
    return shown;
}

bool DialogGone(ULONGLONG timeoutMs)
{
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    while (DialogShown()) {
        if (::GetTickCount64() >= deadline) {
            return false;
        }
        ::Sleep(50);
    }
    return true;
}

struct Outcome {
    bool result = false;
    std::wstring error;  // the message of the Error thrown, empty when it returned
};

// Runs the real dialog on this thread while `user` acts on it from a second thread, as a person would.
// Whatever the user thread does, it never leaves the dialog open: it lets a held download go and
// presses Cancel until the dialog is gone.
Outcome RunDialog(const std::wstring& installerPath, const std::function<void()>& user,
                  Lite::HandleOwner* verifiedInstaller = nullptr)
{
    std::thread person([&] {
        user();
        if (!DialogGone(30000)) {
            ADD_FAILURE() << "the dialog stayed open";
            LiteTest::SetScenario("{}");
            LiteTest::RunUiHelper({L"click", Title, L"2"});
        }
    });
    Outcome outcome;
    try {
        Lite::HandleOwner held;
        outcome.result = Lite::ShowDownloadDialog(installerPath, verifiedInstaller ? *verifiedInstaller : held);
    } catch (const Lite::Error& error) {
        outcome.error = error.message;
    }
    person.join();
    return outcome;
}

class DownloadDialog : public testing::Test {
protected:
    void SetUp() override { LiteTest::WriteBytes(installer, ""); }
    void TearDown() override { ::DeleteFileW(installer.c_str()); }

    const std::wstring installer = LiteTest::TempPath(L"dialog-installer.exe");
};

TEST_F(DownloadDialog, ShowsItsTextsWithAMarqueeAndCancelWaitsForTheWorker)
{
    LiteTest::SetScenario(HeldRoute());
    const Outcome outcome = RunDialog(installer, [] {
        const std::string shown = ReadDialog();
        EXPECT_NE(shown.find("\"title\":" + LiteTest::JsonString(Title)), std::string::npos) << shown;
        EXPECT_TRUE(Shows(shown, MainInstruction)) << shown;
        EXPECT_TRUE(Shows(shown, Connecting)) << shown;
        const std::string bar = Child(shown, "\"class\":\"msctls_progress32\"");
        ASSERT_FALSE(bar.empty()) << shown;
        const unsigned long style = std::stoul(bar.substr(bar.find("\"style\":") + 8));
        EXPECT_NE(style & PBS_MARQUEE, 0u) << bar;
        EXPECT_NE(Child(shown, "\"id\":2,").find("\"enabled\":true"), std::string::npos) << shown;
        // The in-process lookup that every test's end relies on sees the dialog the helper read.
        EXPECT_FALSE(DialogGone(0));

        EXPECT_EQ(LiteTest::RunUiHelper({L"click", Title, L"2"}).exitCode, 0);
        // The worker still sits in its read: the dialog stays, saying it is cancelling, Cancel disabled.
        ::Sleep(1500);
        const std::string cancelling = ReadDialog();
        EXPECT_TRUE(Shows(cancelling, Cancelling)) << cancelling;
        EXPECT_NE(Child(cancelling, "\"id\":2,").find("\"enabled\":false"), std::string::npos) << cancelling;

        // The read returns; the worker sees the request before reading on and ends; only then it closes.
        LiteTest::SetScenario("{}");
        EXPECT_TRUE(DialogGone(20000));
    });
    EXPECT_FALSE(outcome.result);
    EXPECT_EQ(outcome.error, L"");
}

TEST_F(DownloadDialog, EscAltF4AndTheCloseBoxCancelLikeTheButton)
{
    const std::vector<std::vector<std::wstring>> endings = {{L"key", Title, L"esc"}, {L"key", Title, L"alt+f4"},
                                                            {L"close", Title}};
    for (const auto& ending : endings) {
        SCOPED_TRACE(Utf8(ending[0] + L" " + ending.back()));
        LiteTest::SetScenario(HeldRoute());
        const Outcome outcome = RunDialog(installer, [&] {
            ReadDialog();
            EXPECT_EQ(LiteTest::RunUiHelper(ending).exitCode, 0);
            const std::string cancelling = ReadDialog();
            EXPECT_TRUE(Shows(cancelling, Cancelling)) << cancelling;
            EXPECT_NE(Child(cancelling, "\"id\":2,").find("\"enabled\":false"), std::string::npos) << cancelling;
            LiteTest::SetScenario("{}");
        });
        EXPECT_FALSE(outcome.result);
        EXPECT_EQ(outcome.error, L"");
    }
}

// Texts of the Static controls of a window of this process.
std::vector<std::wstring> StaticTexts(HWND dialog)
{
    std::vector<std::wstring> texts;
    ::EnumChildWindows(
        dialog,
        [](HWND child, LPARAM context) -> BOOL {
            wchar_t name[32] = {};
            ::GetClassNameW(child, name, 32);
            if (std::wstring(name) == L"Static") {
                wchar_t text[512] = {};
                ::GetWindowTextW(child, text, 512);
                reinterpret_cast<std::vector<std::wstring>*>(context)->push_back(text);
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&texts));
    return texts;
}

bool Contains(const std::vector<std::wstring>& texts, const std::wstring& text)
{
    return std::find(texts.begin(), texts.end(), text) != texts.end();
}

// The dialog's own window procedure, with a person's click on Cancel put right into the moment the
// worker announces its checks.
WNDPROC dialogProcedure = nullptr;
std::atomic<bool> clickedWhileVerifying{false};
std::atomic<bool> cancellingShown{false};

LRESULT CALLBACK ClickCancelWhenTheChecksBegin(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    const LRESULT result = ::CallWindowProcW(dialogProcedure, dialog, message, wParam, lParam);
    if (message == TDM_SET_ELEMENT_TEXT && wParam == TDE_CONTENT && lParam != 0 &&
        reinterpret_cast<const wchar_t*>(lParam) == Verifying && !clickedWhileVerifying.exchange(true)) {
        // The worker sent this text and waits for its answer before it starts the checks, so the click is
        // handled (on the dialog's thread, as any click) before the checks begin and they surely run after
        // it, however long they take on this machine.
        ::SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                       reinterpret_cast<LPARAM>(::GetDlgItem(dialog, IDCANCEL)));
        cancellingShown = Contains(StaticTexts(dialog), Cancelling);
    }
    return result;
}

TEST_F(DownloadDialog, CancelWhileTheChecksRunStillGivesFalse)
{
    struct Case {
        std::string scenario;
        const char* what;
    };
    // Held at its start until the click is in place, then let go in full. The cancellation wins over the
    // checks' success as over their failure.
    const std::vector<Case> cases = {
        {FileRoute(SignedTestInstaller(), ",\"hold_after\":0"), "the checks pass"},
        {Scenario("{\"size\":1000,\"hold_after\":0}"), "the digest check fails"},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.what);
        LiteTest::SetScenario(testCase.scenario);
        clickedWhileVerifying = false;
        cancellingShown = false;
        const Outcome outcome = RunDialog(installer, [] {
            ReadDialog();
            HWND dialog = ::FindWindowW(nullptr, Title.c_str());
            ASSERT_NE(dialog, nullptr);
            dialogProcedure = reinterpret_cast<WNDPROC>(::SetWindowLongPtrW(
                dialog, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&ClickCancelWhenTheChecksBegin)));
            ASSERT_NE(dialogProcedure, nullptr);
            LiteTest::ReleaseHeldAnswers();
        });
        EXPECT_TRUE(clickedWhileVerifying);
        EXPECT_TRUE(cancellingShown);
        EXPECT_FALSE(outcome.result);
        EXPECT_EQ(outcome.error, L"");
    }
    EXPECT_EQ(LiteTest::ReadBytes(installer).size(), 1000u);
}

TEST_F(DownloadDialog, AVerifiedInstallerGivesTrueAndStaysUnchangeableWhileHeld)
{
    LiteTest::SetScenario(FileRoute(SignedTestInstaller()));
    Lite::HandleOwner verified;
    const Outcome outcome = RunDialog(installer, [] {}, &verified);
    EXPECT_TRUE(outcome.result);
    EXPECT_EQ(outcome.error, L"");
    EXPECT_EQ(LiteTest::ReadBytes(installer), LiteTest::ReadBytes(SignedTestInstaller()));

    // Between the checks and the installer's end no other process may write, rename or delete the file.
    ASSERT_TRUE(verified.IsHeld());
    const auto attempt = LiteTest::RunUiHelper({L"try-change", installer});
    EXPECT_EQ(attempt.exitCode, 0) << attempt.output;
    verified.Reset();
    EXPECT_TRUE(LiteTest::IsFreeToReplace(installer));
}

TEST_F(DownloadDialog, FailuresAreThrownWithTheirMessages)
{
    struct Case {
        std::string scenario;
        std::wstring message;
    };
    const std::vector<Case> cases = {
        // A file that would also fail the signature check: the digest is checked first and alone decides.
        {Scenario("{\"size\":1000}"), DigestRefused},
        // Properly signed by "Microsoft Corporation", but not the installer this build accepts.
        {FileRoute(LiteTest::FixtureDirectory(L"signing\\microsoft.exe")), DigestRefused},
        {Scenario("{\"status\":404}"), ServiceUnavailable},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.scenario);
        LiteTest::SetScenario(testCase.scenario);
        const Outcome outcome = RunDialog(installer, [] {});
        EXPECT_FALSE(outcome.result);
        EXPECT_EQ(outcome.error, testCase.message);
    }
}

// Replaces how the worker thread is started for one test.
class WorkerStartOverride {
public:
    explicit WorkerStartOverride(std::thread (*start)(Lite::DownloadState&, HWND))
        : previous_(Lite::Seams::startDownloadWorker)
    {
        Lite::Seams::startDownloadWorker = start;
    }
    ~WorkerStartOverride() { Lite::Seams::startDownloadWorker = previous_; }
    WorkerStartOverride(const WorkerStartOverride&) = delete;
    WorkerStartOverride& operator=(const WorkerStartOverride&) = delete;

private:
    std::thread (*previous_)(Lite::DownloadState&, HWND);
};

TEST_F(DownloadDialog, AWorkerThatEndsWithoutAMessageGivesDownloadNotCompleted)
{
    // Every failure of the real worker carries a text, so no input can make it end with an empty one:
    // a substitute body ends the way such a worker would, without success and without a message.
    WorkerStartOverride silentWorker([](Lite::DownloadState& state, HWND dialog) {
        return std::thread([&state, dialog] {
            state.finished.exchange(true);
            ::PostMessageW(dialog, TDM_CLICK_BUTTON, IDCANCEL, 0);
        });
    });
    const Outcome outcome = RunDialog(installer, [] {});
    EXPECT_FALSE(outcome.result);
    EXPECT_EQ(outcome.error, NotCompleted);
}

TEST_F(DownloadDialog, AWorkerThreadThatCannotBeCreatedClosesTheDialogAndIsReported)
{
    // Thread creation cannot be made to fail on demand here; the seam raises what std::thread raises then.
    WorkerStartOverride noThread([](Lite::DownloadState&, HWND) -> std::thread {
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    });
    LiteTest::SetScenario(FileRoute(SignedTestInstaller()));
    const Outcome outcome = RunDialog(installer, [] {});
    EXPECT_FALSE(outcome.result);
    EXPECT_EQ(outcome.error, GenericFailure);
    EXPECT_TRUE(LiteTest::ReadServerLog().requests.empty());
    EXPECT_TRUE(DialogGone(1000));
}

// Replaces the dialog call itself for one test.
class DialogCallOverride {
public:
    using Call = HRESULT(WINAPI*)(const TASKDIALOGCONFIG*, int*, int*, BOOL*);
    explicit DialogCallOverride(Call call) : previous_(Lite::Seams::taskDialog)
    {
        Lite::Seams::taskDialog = call;
    }
    ~DialogCallOverride() { Lite::Seams::taskDialog = previous_; }
    DialogCallOverride(const DialogCallOverride&) = delete;
    DialogCallOverride& operator=(const DialogCallOverride&) = delete;

private:
    Call previous_;
};

std::atomic<int> progressTextsSeen{0};
std::atomic<bool> standInReturned{false};

LRESULT CALLBACK StandInDialogProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == TDM_SET_ELEMENT_TEXT) {
        ++progressTextsSeen;
        return 0;
    }
    return ::DefWindowProcW(window, message, wParam, lParam);
}

// A dialog that goes wrong after its creation notification: the worker has been started on a real
// window, the download is under way, and then the call reports a failure and its window is gone.
HRESULT WINAPI FailAfterTheWorkerStarted(const TASKDIALOGCONFIG* config, int*, int*, BOOL*)
{
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = &StandInDialogProcedure;
    windowClass.hInstance = ::GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"CorvaneStandInDialog";
    ::RegisterClassW(&windowClass);
    HWND window = ::CreateWindowExW(0, windowClass.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                    windowClass.hInstance, nullptr);
    progressTextsSeen = 0;
    config->pfCallback(window, TDN_CREATED, 0, 0, config->lpCallbackData);
    // The held download surely brings the first progress text; the limit only keeps a worker that never
    // ran from holding the test until CTest's own limit.
    const ULONGLONG deadline = ::GetTickCount64() + 300000;
    MSG message;
    while (progressTextsSeen == 0 && ::GetTickCount64() < deadline) {
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
        while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            ::DispatchMessageW(&message);
        }
    }
    ::DestroyWindow(window);
    // Sends that were already on their way are answered now; later ones find no window.
    while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    }
    standInReturned = true;
    return E_OUTOFMEMORY;
}

HRESULT WINAPI FailAtOnce(const TASKDIALOGCONFIG*, int*, int*, BOOL*)
{
    return E_OUTOFMEMORY;
}

TEST_F(DownloadDialog, ADialogThatCannotBeShownStopsAndJoinsItsWorkerAndIsReported)
{
    // The real call cannot be made to fail on demand, least of all after it has started the worker;
    // the seam replaces that one call.
    // The answer is held after 2 of its 16 MiB, so however fast loopback is, the worker is still inside
    // the body when the dialog call fails, and however slow this machine is, the hold outlasts the wait for
    // the first progress text (the server keeps the connection alive meanwhile). It ends only once the call
    // has failed: the worker then meets the cancellation, and the call returns only after it was joined.
    const std::uint64_t bodySize = 16 * 1048576;
    const std::uint64_t sentBeforeHold = 2 * 1048576;
    LiteTest::SetScenario(Scenario("{\"size\":" + std::to_string(bodySize) +
                                   ",\"hold_after\":" + std::to_string(sentBeforeHold) + "}"));
    {
        DialogCallOverride failing(&FailAfterTheWorkerStarted);
        standInReturned = false;
        std::size_t requests = 0;
        const Outcome outcome = RunDialog(installer, [&] {
            while (!standInReturned) {
                ::Sleep(10);
            }
            requests = LiteTest::ReadServerLog().requests.size();
            LiteTest::SetScenario("{}");
        });
        EXPECT_FALSE(outcome.result);
        EXPECT_EQ(outcome.error, L"无法显示下载窗口。");
        // The worker was under way and got no further than the server let it: the held part, and at most
        // one read of the byte a second that keeps a held connection alive.
        EXPECT_GE(progressTextsSeen.load(), 1);
        const std::uint64_t written = LiteTest::ReadBytes(installer).size();
        EXPECT_GE(written, 1048576u);
        EXPECT_LT(written, sentBeforeHold + 65536);
        EXPECT_EQ(requests, 1u);
    }
    {
        LiteTest::SetScenario(Scenario("{\"size\":1000}"));
        DialogCallOverride failing(&FailAtOnce);
        const Outcome outcome = RunDialog(installer, [] {});
        EXPECT_FALSE(outcome.result);
        EXPECT_EQ(outcome.error, L"无法显示下载窗口。");
        EXPECT_EQ(LiteTest::ReadServerLog().connections, 0);
    }
}

}
