// Measures the product's download against a bare WinHTTP loop in the same process and run.
//
//   download-bench throughput ROUNDS   times DownloadFile and the bare loop, alternating, ROUNDS each
//   download-bench peak                one DownloadFile, then the process's peak working set
//
// The local test server must already serve the installer path (bench/run-download-bench sets it up).
// Output: one line per measurement, "name value".
#include "install/RuntimeDownload.h"

#include "bootstrap/Error.h"

#include <windows.h>
#include <psapi.h>
#include <winhttp.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace {

// The baseline asks for the very path the product asks for: the part of its URL after the host.
const std::wstring InstallerPath = [] {
    const std::wstring url = Lite::RuntimeInstallerUrl();
    return url.substr(url.find(L'/', std::wstring_view(L"https://").size()));
}();

std::wstring TargetFile()
{
    wchar_t directory[MAX_PATH + 1] = {};
    ::GetTempPathW(MAX_PATH + 1, directory);
    return std::wstring(directory) + L"corvane-download-bench.bin";
}

void CreateEmpty(const std::wstring& path)
{
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ::CloseHandle(file);
}

double TimeProduct(const std::wstring& path)
{
    CreateEmpty(path);
    std::atomic<bool> cancel{false};
    const auto started = std::chrono::steady_clock::now();
    Lite::DownloadFile(path, cancel, nullptr);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
}

// The same transfer with nothing but the platform calls: session, request, 64 KiB reads, writes, flush.
double TimeBareLoop(const std::wstring& path)
{
    CreateEmpty(path);
    const auto started = std::chrono::steady_clock::now();
    HINTERNET session = ::WinHttpOpen(L"bench", WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                                      WINHTTP_NO_PROXY_BYPASS, 0);
    HINTERNET connection = ::WinHttpConnect(session, L"localhost", INTERNET_DEFAULT_HTTPS_PORT, 0);
    HINTERNET request = ::WinHttpOpenRequest(connection, L"GET", InstallerPath.c_str(), nullptr, WINHTTP_NO_REFERER,
                                             WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE);
    ::WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0);
    ::WinHttpReceiveResponse(request, nullptr);
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, TRUNCATE_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                nullptr);
    std::vector<BYTE> buffer(65536);
    DWORD read = 0;
    DWORD written = 0;
    while (::WinHttpReadData(request, buffer.data(), 65536, &read) && read != 0) {
        ::WriteFile(file, buffer.data(), read, &written, nullptr);
    }
    ::FlushFileBuffers(file);
    ::CloseHandle(file);
    ::WinHttpCloseHandle(request);
    ::WinHttpCloseHandle(connection);
    ::WinHttpCloseHandle(session);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
}

}

int wmain(int argc, wchar_t** argv)
{
    const std::wstring mode = argc > 1 ? argv[1] : L"";
    const std::wstring path = TargetFile();
    try {
        if (mode == L"throughput" && argc > 2) {
            const int rounds = std::stoi(argv[2]);
            // One unmeasured round of each first: the first TLS session and file in a process are slower.
            TimeProduct(path);
            TimeBareLoop(path);
            for (int round = 0; round < rounds; ++round) {
                // Alternate the order so that warm-up and drift favour neither side.
                if (round % 2 == 0) {
                    std::printf("product %.6f\n", TimeProduct(path));
                    std::printf("bare %.6f\n", TimeBareLoop(path));
                } else {
                    std::printf("bare %.6f\n", TimeBareLoop(path));
                    std::printf("product %.6f\n", TimeProduct(path));
                }
                std::fflush(stdout);
            }
        } else if (mode == L"peak") {
            TimeProduct(path);
            PROCESS_MEMORY_COUNTERS counters{};
            counters.cb = sizeof(counters);
            ::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof(counters));
            std::printf("peak_working_set %llu\n", static_cast<unsigned long long>(counters.PeakWorkingSetSize));
        } else {
            std::fprintf(stderr, "usage: download-bench throughput ROUNDS | peak\n");
            return 3;
        }
    } catch (const Lite::Error&) {
        std::fprintf(stderr, "the download failed\n");
        ::DeleteFileW(path.c_str());
        return 1;
    }
    ::DeleteFileW(path.c_str());
    return 0;
}
