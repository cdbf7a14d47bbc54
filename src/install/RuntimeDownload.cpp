#include "install/RuntimeDownload.h"

#include "bootstrap/BuildConfig.h"
#include "bootstrap/DelayLoad.h"
#include "bootstrap/Error.h"
#include "bootstrap/ScopedOwner.h"

#include <commctrl.h>
#include <winhttp.h>

#include <cstdint>
#include <string>
#include <vector>

namespace Lite {

namespace {

using InternetHandleOwner = ScopedOwner<HINTERNET, &::WinHttpCloseHandle>;

constexpr INTERNET_PORT DownloadPort = INTERNET_DEFAULT_HTTPS_PORT;
constexpr int ResolveTimeoutMs = 10000;
constexpr int ConnectTimeoutMs = 10000;
constexpr int SendTimeoutMs = 15000;
constexpr int ReceiveTimeoutMs = 15000;
constexpr DWORD DownloadChunkSize = 65536;
constexpr std::uint64_t MaxDownloadSize = 134217728;
constexpr std::uint64_t ProgressStepBytes = 1048576;

constexpr wchar_t ConnectFailed[] = L"无法连接下载服务，请检查网络或代理设置。";
constexpr wchar_t Cancelled[] = L"已取消下载。";
constexpr wchar_t Incomplete[] = L"下载文件不完整。";

struct UrlParts {
    std::wstring host;
    std::wstring path;
};

UrlParts CheckUrl(const std::wstring& url)
{
    URL_COMPONENTS components{};
    components.dwStructSize = sizeof(components);
    components.dwHostNameLength = static_cast<DWORD>(-1);
    components.dwUrlPathLength = static_cast<DWORD>(-1);
    if (!::WinHttpCrackUrl(url.c_str(), 0, 0, &components) || components.nScheme != INTERNET_SCHEME_HTTPS) {
        throw Error{L"下载地址无效。"};
    }
    UrlParts parts{std::wstring(components.lpszHostName, components.dwHostNameLength),
                   std::wstring(components.lpszUrlPath, components.dwUrlPathLength)};
    // Exact code units: a host that only looks the same (other letter case included) is not ours.
    if (parts.host != Build::ExpectedDownloadHost || components.nPort != DownloadPort) {
        throw Error{L"下载地址不属于微软官方。"};
    }
    return parts;
}

void ReportProgress(HWND progressWindow, std::uint64_t receivedTotal)
{
    const std::wstring text = L"正在从微软官方下载运行环境，已接收 " + std::to_wstring(receivedTotal >> 20) +
                              L" MB。\n下载完成后会自动校验文件。";
    ::SendMessageW(progressWindow, TDM_SET_ELEMENT_TEXT, TDE_CONTENT, reinterpret_cast<LPARAM>(text.c_str()));
}

}

std::wstring RuntimeInstallerUrl()
{
    // Microsoft's layout: one folder per version, the x64 installer named after the version again.
    const std::wstring version(Build::RuntimeVersion);
    return L"https://" + std::wstring(Build::ExpectedDownloadHost) + L"/dotnet/WindowsDesktop/" + version +
           L"/windowsdesktop-runtime-" + version + L"-win-x64.exe";
}

void DownloadFile(const std::wstring& destinationPath, const std::atomic<bool>& cancelRequested,
                  HWND progressWindow)
{
    DownloadFileFromUrl(RuntimeInstallerUrl(), destinationPath, cancelRequested, progressWindow);
}

void DownloadFileFromUrl(const std::wstring& url, const std::wstring& destinationPath,
                         const std::atomic<bool>& cancelRequested, HWND progressWindow)
{
    RequireDelayLoadedDll(L"winhttp.dll");
    const UrlParts parts = CheckUrl(url);

    // Declared in opening order so that a failure closes them file first, session last.
    const std::wstring userAgent = L"Corvane-Lite/" + std::wstring(Build::ProductVersion);
    InternetHandleOwner session(::WinHttpOpen(userAgent.c_str(), WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY,
                                              WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session.IsHeld()) {
        throw Error{ConnectFailed};
    }
    ::WinHttpSetTimeouts(session.Get(), ResolveTimeoutMs, ConnectTimeoutMs, SendTimeoutMs, ReceiveTimeoutMs);

    InternetHandleOwner connection(::WinHttpConnect(session.Get(), parts.host.c_str(), DownloadPort, 0));
    if (!connection.IsHeld()) {
        throw Error{ConnectFailed};
    }

    InternetHandleOwner request(::WinHttpOpenRequest(connection.Get(), L"GET", parts.path.c_str(), nullptr,
                                                     WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                                     WINHTTP_FLAG_SECURE));
    if (!request.IsHeld()) {
        throw Error{ConnectFailed};
    }
    DWORD redirectPolicy = WINHTTP_OPTION_REDIRECT_POLICY_DISALLOW_HTTPS_TO_HTTP;
    ::WinHttpSetOption(request.Get(), WINHTTP_OPTION_REDIRECT_POLICY, &redirectPolicy, sizeof(redirectPolicy));

    if (cancelRequested.load()) {
        throw Error{Cancelled};
    }
    if (!::WinHttpSendRequest(request.Get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !::WinHttpReceiveResponse(request.Get(), nullptr)) {
        throw Error{L"下载未完成，请检查网络或代理后重试。"};
    }

    DWORD status = 0;
    DWORD statusSize = sizeof(status);
    if (!::WinHttpQueryHeaders(request.Get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                               WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusSize, WINHTTP_NO_HEADER_INDEX) ||
        status != HTTP_STATUS_OK) {
        throw Error{L"微软下载服务暂时不可用，请稍后重试。"};
    }

    HandleOwner file(::CreateFileW(destinationPath.c_str(), GENERIC_WRITE, 0, nullptr, TRUNCATE_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.IsHeld()) {
        throw Error{L"无法保存下载文件，请检查磁盘空间。"};
    }

    std::vector<BYTE> buffer(DownloadChunkSize, 0);
    std::uint64_t receivedTotal = 0;
    std::uint64_t lastReportedTotal = 0;
    for (;;) {
        if (cancelRequested.load()) {
            throw Error{Cancelled};
        }
        DWORD bytesRead = 0;
        if (!::WinHttpReadData(request.Get(), buffer.data(), DownloadChunkSize, &bytesRead)) {
            throw Error{L"下载连接中断，请重试。"};
        }
        if (bytesRead == 0) {
            break;
        }
        receivedTotal += bytesRead;
        // Checked before the write, so the file never holds more than the bound.
        if (receivedTotal > MaxDownloadSize) {
            throw Error{L"下载文件大小异常，已停止。"};
        }
        DWORD bytesWritten = 0;
        if (!::WriteFile(file.Get(), buffer.data(), bytesRead, &bytesWritten, nullptr) || bytesWritten != bytesRead) {
            throw Error{L"保存下载文件失败，请检查磁盘空间。"};
        }
        if (progressWindow != nullptr && receivedTotal - lastReportedTotal >= ProgressStepBytes) {
            lastReportedTotal = receivedTotal;
            ReportProgress(progressWindow, receivedTotal);
        }
    }

    if (receivedTotal == 0 || !::FlushFileBuffers(file.Get())) {
        throw Error{Incomplete};
    }
    file.Reset();
    request.Reset();
    connection.Reset();
    session.Reset();
}

}
