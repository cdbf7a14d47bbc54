#include "install/RuntimeDownload.h"

#include "bootstrap/Error.h"
#include "common/DownloadServer.h"
#include "common/TestText.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <commctrl.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace {

using LiteTest::InstallerUrlPath;

constexpr std::uint64_t MaxDownloadSize = 134217728;
const std::wstring InstallerUrl = std::wstring(L"https://localhost") + InstallerUrlPath;
const std::string PreviousContent = "previous content of the staged file";

// Scenario with one route: the installer path answered as described by routeJson.
std::string InstallerRoute(const std::string& routeJson, const std::string& extraRoutes = {},
                           const std::string& tls = "trusted")
{
    std::string path;
    for (const wchar_t* c = InstallerUrlPath.c_str(); *c != L'\0'; ++c) {
        path += static_cast<char>(*c);
    }
    return "{\"tls\":\"" + tls + "\",\"routes\":{\"" + path + "\":" + routeJson + extraRoutes + "}}";
}

void WriteWholeFile(const std::wstring& path, const std::string& content)
{
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ::WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
    ::CloseHandle(file);
}

std::uint64_t FileSize(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        return UINT64_MAX;
    }
    return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

std::string ReadSmallFile(const std::wstring& path)
{
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return "<missing>";
    }
    std::string content(1 << 16, '\0');
    DWORD read = 0;
    ::ReadFile(file, content.data(), static_cast<DWORD>(content.size()), &read, nullptr);
    ::CloseHandle(file);
    content.resize(read);
    return content;
}

// Whether the file holds exactly `size` bytes of the server's pattern.
testing::AssertionResult HoldsPattern(const std::wstring& path, std::uint64_t size)
{
    if (FileSize(path) != size) {
        return testing::AssertionFailure() << "size " << FileSize(path) << " instead of " << size;
    }
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    std::vector<std::uint8_t> block(1 << 20);
    std::uint64_t offset = 0;
    DWORD read = 0;
    while (::ReadFile(file, block.data(), static_cast<DWORD>(block.size()), &read, nullptr) && read != 0) {
        for (DWORD i = 0; i < read; ++i, ++offset) {
            if (block[i] != LiteTest::PatternByte(offset)) {
                ::CloseHandle(file);
                return testing::AssertionFailure() << "byte " << offset << " differs";
            }
        }
    }
    ::CloseHandle(file);
    return testing::AssertionSuccess();
}

// Stands in for the download dialog: records every content text it is sent, and can ask for
// cancellation when the first one arrives (the user pressing Cancel mid-transfer).
class ProgressRecorder {
public:
    ProgressRecorder()
    {
        WNDCLASSW windowClass{};
        windowClass.lpfnWndProc = &ProgressRecorder::Procedure;
        windowClass.hInstance = ::GetModuleHandleW(nullptr);
        windowClass.lpszClassName = L"CorvaneProgressRecorder";
        ::RegisterClassW(&windowClass);
        window_ = ::CreateWindowExW(0, windowClass.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                    windowClass.hInstance, nullptr);
        ::SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    }
    ~ProgressRecorder() { ::DestroyWindow(window_); }

    HWND Window() const { return window_; }
    std::vector<std::wstring> texts;
    std::atomic<bool>* cancelOnFirstText = nullptr;

private:
    static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
    {
        auto* self = reinterpret_cast<ProgressRecorder*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
        if (self != nullptr && message == TDM_SET_ELEMENT_TEXT && wParam == TDE_CONTENT) {
            self->texts.emplace_back(reinterpret_cast<const wchar_t*>(lParam));
            if (self->cancelOnFirstText != nullptr) {
                self->cancelOnFirstText->store(true);
            }
            return 0;
        }
        return ::DefWindowProcW(window, message, wParam, lParam);
    }

    HWND window_ = nullptr;
};

bool RunningUnderWine()
{
    return ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

class RuntimeDownload : public testing::Test {
protected:
    void SetUp() override
    {
        destination = LiteTest::TempPath(L"installer.exe");
        WriteWholeFile(destination, PreviousContent);
    }
    void TearDown() override { ::DeleteFileW(destination.c_str()); }

    // Runs the product's download (or the same code over another address); the message of the Error
    // it threw, or empty when it returned.
    std::wstring Download(HWND progressWindow = nullptr, const std::wstring& url = {})
    {
        try {
            if (url.empty()) {
                Lite::DownloadFile(destination, cancelRequested, progressWindow);
            } else {
                Lite::DownloadFileFromUrl(url, destination, cancelRequested, progressWindow);
            }
        } catch (const Lite::Error& error) {
            return error.message;
        }
        return {};
    }

    std::wstring destination;
    std::atomic<bool> cancelRequested{false};
};

TEST_F(RuntimeDownload, WritesTheWholeBodyOfTheFixedAddressOverTheOldContent)
{
    // Content-Length and chunked bodies, the chunked one in pieces that do not line up with the reads.
    for (const char* route : {R"({"size":3000000})", R"({"size":3000000,"chunked":true,"chunk_size":10007})"}) {
        SCOPED_TRACE(route);
        WriteWholeFile(destination, std::string(4000000, 'x'));
        LiteTest::SetScenario(InstallerRoute(route));

        EXPECT_EQ(Download(), L"");
        EXPECT_TRUE(HoldsPattern(destination, 3000000));
        const auto log = LiteTest::ReadServerLog();
        ASSERT_EQ(log.requests.size(), 1u);
        EXPECT_EQ(log.requests[0].scheme, "https");
        EXPECT_EQ(log.requests[0].method, "GET");
        EXPECT_EQ(log.requests[0].userAgent, "Corvane-Lite/" + LiteTest::Utf8(LiteTest::Version));
        EXPECT_EQ(log.requests[0].host, "localhost");
    }
}

TEST_F(RuntimeDownload, AcceptsExactly128MiBAndRefusesOneByteMore)
{
    LiteTest::SetScenario(InstallerRoute(R"({"size":134217728})"));
    EXPECT_EQ(Download(), L"");
    EXPECT_TRUE(HoldsPattern(destination, MaxDownloadSize));

    LiteTest::SetScenario(InstallerRoute(R"({"size":134217729})"));
    EXPECT_EQ(Download(), L"下载文件大小异常，已停止。");
    // The chunk that crossed the bound was not written.
    EXPECT_LE(FileSize(destination), MaxDownloadSize);
    EXPECT_TRUE(HoldsPattern(destination, MaxDownloadSize));
}

TEST_F(RuntimeDownload, RefusesAnEmptyBody)
{
    LiteTest::SetScenario(InstallerRoute(R"({"size":0})"));
    EXPECT_EQ(Download(), L"下载文件不完整。");
}

TEST_F(RuntimeDownload, RefusesEveryStatusButOkBeforeTheFileIsOpened)
{
    for (const char* route : {R"({"status":404,"text":"not here"})", R"({"status":503,"text":"busy"})",
                              R"({"status":206,"size":1000})"}) {
        SCOPED_TRACE(route);
        LiteTest::SetScenario(InstallerRoute(route));
        EXPECT_EQ(Download(), L"微软下载服务暂时不可用，请稍后重试。");
        EXPECT_EQ(ReadSmallFile(destination), PreviousContent);
    }
}

TEST_F(RuntimeDownload, DoesNotFollowARedirectToPlainHttp)
{
    LiteTest::SetScenario(InstallerRoute(R"({"status":302,"location":"http://127.0.0.1:8931/plain/installer.exe"})",
                                            R"(,"/plain/installer.exe":{"size":1000})"));
    // Windows hands back the unfollowed redirect (a status that is not 200); Wine fails the receive
    // call itself (12156). Either way the plain answer is never fetched.
    const std::wstring expected = RunningUnderWine() ? L"下载未完成，请检查网络或代理后重试。"
                                                     : L"微软下载服务暂时不可用，请稍后重试。";
    EXPECT_EQ(Download(), expected);
    EXPECT_EQ(ReadSmallFile(destination), PreviousContent);
    for (const auto& request : LiteTest::ReadServerLog().requests) {
        EXPECT_EQ(request.scheme, "https") << request.path;
    }
}

TEST_F(RuntimeDownload, FollowsARedirectThatStaysOnHttps)
{
    LiteTest::SetScenario(InstallerRoute(R"({"status":302,"location":"https://localhost/mirror/installer.exe"})",
                                            R"(,"/mirror/installer.exe":{"size":70000})"));
    EXPECT_EQ(Download(), L"");
    EXPECT_TRUE(HoldsPattern(destination, 70000));
    const auto log = LiteTest::ReadServerLog();
    ASSERT_EQ(log.requests.size(), 2u);
    EXPECT_EQ(log.requests[1].path, "/mirror/installer.exe");
}

TEST_F(RuntimeDownload, RefusesAddressesOtherThanTheExpectedHostAndPortBeforeConnecting)
{
    struct AddressCase {
        std::wstring url;
        const wchar_t* message;
    };
    const AddressCase cases[] = {
        {std::wstring(L"https://LOCALHOST") + InstallerUrlPath, L"下载地址不属于微软官方。"},
        {std::wstring(L"https://Localhost") + InstallerUrlPath, L"下载地址不属于微软官方。"},
        {std::wstring(L"https://localhost:8443") + InstallerUrlPath, L"下载地址不属于微软官方。"},
        {std::wstring(L"https://127.0.0.1") + InstallerUrlPath, L"下载地址不属于微软官方。"},
        {std::wstring(L"http://localhost") + InstallerUrlPath, L"下载地址无效。"},
        {L"localhost/dotnet/installer.exe", L"下载地址无效。"},
    };
    for (const auto& address : cases) {
        SCOPED_TRACE(testing::PrintToString(address.url));
        LiteTest::SetScenario(InstallerRoute(R"({"size":1000})"));
        EXPECT_EQ(Download(nullptr, address.url), address.message);
        EXPECT_EQ(LiteTest::ReadServerLog().connections, 0);
        EXPECT_EQ(ReadSmallFile(destination), PreviousContent);
    }

    // The port is checked by its number: naming 443 explicitly is the same address.
    LiteTest::SetScenario(InstallerRoute(R"({"size":1000})"));
    EXPECT_EQ(Download(nullptr, std::wstring(L"https://localhost:443") + InstallerUrlPath), L"");
    EXPECT_TRUE(HoldsPattern(destination, 1000));
}

TEST_F(RuntimeDownload, RefusesAServerCertificateFromAnUntrustedRoot)
{
    LiteTest::SetScenario(InstallerRoute(R"({"size":1000})", {}, "untrusted"));
    EXPECT_EQ(Download(), L"下载未完成，请检查网络或代理后重试。");
    EXPECT_EQ(ReadSmallFile(destination), PreviousContent);
    EXPECT_TRUE(LiteTest::ReadServerLog().requests.empty());
}

TEST_F(RuntimeDownload, CancellationBeforeSendingSendsNothing)
{
    LiteTest::SetScenario(InstallerRoute(R"({"size":1000})"));
    cancelRequested = true;
    EXPECT_EQ(Download(), L"已取消下载。");
    const auto log = LiteTest::ReadServerLog();
    EXPECT_EQ(log.connections, 0);
    EXPECT_TRUE(log.requests.empty());
    EXPECT_EQ(ReadSmallFile(destination), PreviousContent);
}

TEST_F(RuntimeDownload, CancellationDuringTheTransferStopsBeforeTheNextRead)
{
    LiteTest::SetScenario(InstallerRoute(R"({"size":8000000})"));
    ProgressRecorder recorder;
    recorder.cancelOnFirstText = &cancelRequested;

    EXPECT_EQ(Download(recorder.Window()), L"已取消下载。");
    // Cancelled as the first mebibyte was reported: not one chunk more was read or written.
    EXPECT_EQ(recorder.texts.size(), 1u);
    EXPECT_TRUE(HoldsPattern(destination, 1048576));
}

TEST_F(RuntimeDownload, ABodyThatStallsFailsAfterTheReceiveTimeout)
{
    LiteTest::SetScenario(InstallerRoute(R"({"size":1000000,"stall_after":300000})"));
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(Download(), L"下载连接中断，请重试。");
    const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    EXPECT_GE(seconds, 14.0);
    EXPECT_LE(seconds, 45.0);
    EXPECT_LE(FileSize(destination), 300000u);
    LiteTest::SetScenario("{}");  // ends the stalled answer on the server
}

TEST_F(RuntimeDownload, ReportsProgressOncePerMebibyte)
{
    ProgressRecorder recorder;
    LiteTest::SetScenario(InstallerRoute(R"({"size":999999})"));
    EXPECT_EQ(Download(recorder.Window()), L"");
    EXPECT_TRUE(recorder.texts.empty());

    LiteTest::SetScenario(InstallerRoute(R"({"size":2200000})"));
    EXPECT_EQ(Download(recorder.Window()), L"");
    const std::vector<std::wstring> expected = {
        L"正在从微软官方下载运行环境，已接收 1 MB。\n下载完成后会自动校验文件。",
        L"正在从微软官方下载运行环境，已接收 2 MB。\n下载完成后会自动校验文件。",
    };
    EXPECT_EQ(recorder.texts, expected);
    EXPECT_TRUE(HoldsPattern(destination, 2200000));
}

TEST_F(RuntimeDownload, NeedsTheDestinationFileToExist)
{
    LiteTest::SetScenario(InstallerRoute(R"({"size":1000})"));
    ASSERT_TRUE(::DeleteFileW(destination.c_str()));
    EXPECT_EQ(Download(), L"无法保存下载文件，请检查磁盘空间。");
    EXPECT_EQ(::GetFileAttributesW(destination.c_str()), INVALID_FILE_ATTRIBUTES);
}

}
