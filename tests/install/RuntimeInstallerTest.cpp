#include "install/RuntimeInstaller.h"

#include "bootstrap/Error.h"
#include "bootstrap/ScopedOwner.h"
#include "bootstrap/Seams.h"
#include "common/DialogTitles.h"
#include "common/DownloadServer.h"
#include "common/TestText.h"
#include "common/UiDriver.h"
#include "common/WineFiles.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdint>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace {

using LiteTest::Utf8;

std::wstring SignedTestInstaller()
{
    return LiteTest::ToolPath(L"corvane-test-installer.exe");
}

// The local server answers the installer's address with the signed test installer (read on the Unix side,
// where Wine's Z: drive is the root), optionally holding the body back until the scenario is replaced.
std::string InstallerScenario(bool held = false)
{
    std::string unixPath = Utf8(SignedTestInstaller().substr(2));
    for (char& c : unixPath) {
        c = c == '\\' ? '/' : c;
    }
    return std::string("{\"routes\":{\"") + Utf8(LiteTest::InstallerUrlPath) + "\":{\"file\":\"" + unixPath +
           "\"" + (held ? ",\"hold_after\":0" : "") + "}}}";
}

// What the replaced elevated start saw, and how it answers.
struct StartRequest {
    bool called = false;
    SHELLEXECUTEINFOW request{};
    std::wstring verb, file, parameters;
    std::string stagedBytes;
    int changeAttempt = -1;  // ui-helper try-change: 0 when writing, renaming and deleting were refused
    BOOL answer = FALSE;
    DWORD lastError = 0;
};
StartRequest startRequest;

BOOL WINAPI RecordingStart(SHELLEXECUTEINFOW* request)
{
    startRequest.called = true;
    startRequest.request = *request;
    startRequest.verb = request->lpVerb ? request->lpVerb : L"";
    startRequest.file = request->lpFile ? request->lpFile : L"";
    startRequest.parameters = request->lpParameters ? request->lpParameters : L"";
    startRequest.stagedBytes = LiteTest::ReadBytes(startRequest.file);
    startRequest.changeAttempt = LiteTest::RunUiHelper({L"try-change", startRequest.file}).exitCode;
    request->hProcess = nullptr;
    ::SetLastError(startRequest.lastError);
    return startRequest.answer;
}

class ElevatedStartOverride {
public:
    ElevatedStartOverride() : previous_(Lite::Seams::shellExecuteEx) { Lite::Seams::shellExecuteEx = &RecordingStart; }
    ~ElevatedStartOverride() { Lite::Seams::shellExecuteEx = previous_; }
    ElevatedStartOverride(const ElevatedStartOverride&) = delete;
    ElevatedStartOverride& operator=(const ElevatedStartOverride&) = delete;

private:
    BOOL(WINAPI* previous_)(SHELLEXECUTEINFOW*);
};

class RuntimeInstaller : public testing::Test {
protected:
    void SetUp() override { startRequest = StartRequest{}; }

    // Runs the whole step on this thread (the download dialog closes by itself once the checks are done).
    std::wstring Install(std::uint32_t* result = nullptr)
    {
        try {
            const std::uint32_t code = Lite::DownloadAndInstallRuntime();
            if (result != nullptr) {
                *result = code;
            }
        } catch (const Lite::Error& error) {
            return error.message;
        }
        return {};
    }

    std::vector<std::wstring> Downloads() { return LiteTest::ListNames(downloads); }

    LiteTest::ScratchDirectory dataRoot;
    LiteTest::EnvironmentOverride dataRootOverride{L"CORVANE_TEST_DATA_ROOT", dataRoot.Path().c_str()};
    const std::wstring downloads = dataRoot.Path() + L"\\lite-cache\\downloads";
};

TEST_F(RuntimeInstaller, StartFailuresAreReportedAndTheStagedFileIsGone)
{
    // Wine never shows an elevation prompt, so a refused one (and the other start failures) can only come
    // from replacing the one start call.
    ElevatedStartOverride replaced;
    struct Case {
        BOOL answer;
        DWORD lastError;
        std::wstring message;
    };
    const std::vector<Case> cases = {
        {FALSE, ERROR_CANCELLED, L"您已取消管理员授权，运行环境尚未安装。需要时可重新打开轻量版。"},
        {FALSE, ERROR_FILE_NOT_FOUND, L"无法启动微软安装程序，请重新尝试或使用完整版。"},
        {TRUE, ERROR_SUCCESS, L"无法取得运行环境安装结果。"},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(Utf8(testCase.message));
        startRequest = StartRequest{};
        startRequest.answer = testCase.answer;
        startRequest.lastError = testCase.lastError;
        LiteTest::SetScenario(InstallerScenario());

        EXPECT_EQ(Install(), testCase.message);

        ASSERT_TRUE(startRequest.called);
        const SHELLEXECUTEINFOW& request = startRequest.request;
        EXPECT_EQ(request.cbSize, sizeof(SHELLEXECUTEINFOW));
        EXPECT_EQ(request.fMask, 0x140u);
        EXPECT_EQ(request.hwnd, nullptr);
        EXPECT_EQ(startRequest.verb, L"runas");
        EXPECT_EQ(startRequest.parameters, L"/install /passive /norestart");
        EXPECT_EQ(request.lpDirectory, nullptr);
        EXPECT_EQ(request.nShow, SW_SHOWNORMAL);
        EXPECT_TRUE(std::regex_match(Utf8(startRequest.file),
                                     std::regex(std::regex_replace(Utf8(downloads), std::regex(R"([\\.])"), R"(\$&)") +
                                                R"(\\CVN[0-9A-Fa-f]{1,4}\.tmp\.exe)")))
            << Utf8(startRequest.file);
        // What is started is the verified file, and nobody else can change it at that moment.
        EXPECT_EQ(startRequest.stagedBytes, LiteTest::ReadBytes(SignedTestInstaller()));
        EXPECT_EQ(startRequest.changeAttempt, 0);

        EXPECT_EQ(Downloads(), std::vector<std::wstring>{});
    }
}

TEST_F(RuntimeInstaller, TheInstallersExitCodeIsReturnedUnchangedAndItsFileDeletedAfterwards)
{
    for (const wchar_t* code : {L"3010", L"1603", L"4294967295"}) {
        SCOPED_TRACE(Utf8(code));
        LiteTest::EnvironmentOverride exitCode(L"CORVANE_TEST_INSTALLER_EXIT_CODE", code);
        LiteTest::SetScenario(InstallerScenario());
        std::uint32_t result = 0;
        EXPECT_EQ(Install(&result), L"");
        EXPECT_EQ(result, std::stoul(code));
        EXPECT_EQ(Downloads(), std::vector<std::wstring>{});
    }
}

TEST_F(RuntimeInstaller, CancellingTheDownloadGives1602WithoutStartingAnything)
{
    ElevatedStartOverride replaced;
    LiteTest::SetScenario(InstallerScenario(true));
    std::thread person([&] {
        EXPECT_EQ(LiteTest::RunUiHelper({L"click", LiteTest::DownloadTitle, L"2", L"--timeout", L"20000"}).exitCode, 0);
        LiteTest::SetScenario("{}");
    });
    std::uint32_t result = 0;
    EXPECT_EQ(Install(&result), L"");
    person.join();
    EXPECT_EQ(result, 1602u);
    EXPECT_FALSE(startRequest.called);
    EXPECT_EQ(Downloads(), std::vector<std::wstring>{});
}

// Replaces every {name} in the text.
std::string Fill(std::string text, const std::vector<std::pair<std::string, std::string>>& values)
{
    for (const auto& [name, value] : values) {
        for (std::size_t at; (at = text.find("{" + name + "}")) != std::string::npos;) {
            text.replace(at, name.size() + 2, value);
        }
    }
    return text;
}

TEST(NamesVerifiedInstaller, OnlyTheHeldFileBehindPlainDirectoriesPasses)
{
    // What another program of the same user can do to the names between the checks and the start,
    // done from the Unix side: the held handle's read-only sharing binds Wine processes only, much as
    // on Windows a directory can be swapped while no file in it is open yet.
    struct Mutation {
        const char* label;
        const char* shell;
        bool stillTheVerifiedFile;
    };
    const std::vector<Mutation> mutations = {
        {"untouched", "true", true},
        {"downloads swapped for a link to its own content", "mv '{downloads}' '{downloads}.real' && "
                                                            "ln -s '{downloads}.real' '{downloads}'", false},
        {"a level above swapped for a link", "mv '{cache}' '{cache}.real' && ln -s '{cache}.real' '{cache}'", false},
        {"downloads swapped for a plain directory with a copy", "mv '{downloads}' '{downloads}.real' && "
                                                                "mkdir '{downloads}' && "
                                                                "cp '{downloads}.real/CVN1.tmp.exe' '{downloads}/'",
         false},
        {"the file moved aside and a copy put at its name", "mv '{file}' '{file}.aside' && cp '{file}.aside' '{file}'",
         false},
        {"the name made a link to another file", "mv '{file}' '{file}.aside' && ln -s '{other}' '{file}'", false},
        {"the file removed", "rm '{file}'", false},
        {"a directory at the name", "rm '{file}' && mkdir '{file}'", false},
    };
    for (const Mutation& mutation : mutations) {
        SCOPED_TRACE(mutation.label);
        LiteTest::ScratchDirectory scratch;
        const std::wstring cache = scratch / L"data\\lite-cache";
        const std::wstring downloads = cache + L"\\downloads";
        const std::wstring installer = downloads + L"\\CVN1.tmp.exe";
        const std::wstring other = scratch / L"other.exe";
        ASSERT_TRUE(::CreateDirectoryW((scratch / L"data").c_str(), nullptr));
        ASSERT_TRUE(::CreateDirectoryW(cache.c_str(), nullptr));
        ASSERT_TRUE(::CreateDirectoryW(downloads.c_str(), nullptr));
        LiteTest::WriteBytes(installer, LiteTest::ReadBytes(SignedTestInstaller()));
        LiteTest::WriteBytes(other, LiteTest::ReadBytes(SignedTestInstaller()));
        // Held as the download worker holds the verified file.
        Lite::HandleOwner verified(::CreateFileW(installer.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(verified.IsHeld());

        LiteTest::RunUnixShell(Fill(mutation.shell, {{"downloads", LiteTest::UnixPath(downloads)},
                                                     {"cache", LiteTest::UnixPath(cache)},
                                                     {"file", LiteTest::UnixPath(installer)},
                                                     {"other", LiteTest::UnixPath(other)}}));

        EXPECT_EQ(Lite::NamesVerifiedInstaller(downloads, installer, verified.Get()), mutation.stillTheVerifiedFile);
    }
}

TEST_F(RuntimeInstaller, AFailedDownloadLeavesNoFile)
{
    LiteTest::SetScenario("{\"routes\":{}}");
    EXPECT_EQ(Install(), L"微软下载服务暂时不可用，请稍后重试。");
    EXPECT_EQ(Downloads(), std::vector<std::wstring>{});
}

}

namespace {

TEST(RemoveDownloadLeftovers, RemovesOldInstallersAndReservedNamesBelowTheDataRootOnly)
{
    LiteTest::ScratchDirectory scratch;
    LiteTest::EnvironmentOverride dataRoot(L"CORVANE_TEST_DATA_ROOT", scratch.Path().c_str());
    const std::wstring cache = scratch / L"lite-cache";
    const std::wstring downloads = cache + L"\\downloads";

    // A start on a machine that never downloaded anything creates nothing.
    Lite::RemoveDownloadLeftovers();
    EXPECT_FALSE(LiteTest::Exists(cache));

    ASSERT_TRUE(::CreateDirectoryW(cache.c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryW(downloads.c_str(), nullptr));
    const auto place = [&](const std::wstring& name, unsigned long long ageInSeconds) {
        LiteTest::WriteBytes(downloads + L"\\" + name, "x");
        LiteTest::SetLastWriteAge(downloads + L"\\" + name, ageInSeconds);
    };
    constexpr unsigned long long Day = 24 * 60 * 60;
    place(L"CVN1A.tmp.exe", 2 * Day);     // an installer whose start was killed
    place(L"CVN1B.tmp", 2 * Day);         // a reserved name whose start was killed before the rename
    place(L"CVN1C.tmp.exe", 60);          // another session's download, under way or just done
    place(L"runtime-setup.exe", 2 * Day); // none of ours
    Lite::RemoveDownloadLeftovers();
    EXPECT_EQ(LiteTest::ListNames(downloads), (std::vector<std::wstring>{L"CVN1C.tmp.exe", L"runtime-setup.exe"}));

    // A file where the downloads directory belongs is left alone.
    for (const wchar_t* name : {L"\\CVN1C.tmp.exe", L"\\runtime-setup.exe"}) {
        ASSERT_TRUE(::DeleteFileW((downloads + name).c_str()));
    }
    ASSERT_TRUE(::RemoveDirectoryW(downloads.c_str()));
    LiteTest::WriteBytes(downloads, "in the way");
    Lite::RemoveDownloadLeftovers();
    EXPECT_EQ(LiteTest::ReadBytes(downloads), "in the way");
}

}
