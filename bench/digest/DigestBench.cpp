// Hashing cost: ComputeFileDigest against a bare CNG loop (same provider, same 64 KiB reads) over the
// same file, and first-start extraction (EnsurePayload on an empty cache) against one write of the same
// bytes from memory, a flush and one bare hash (and, as context, a plain file copy plus one hash). Rounds
// alternate so both sides see the same cache state; the best round of each side is compared, and the
// side that goes first swaps every round. Prints times, throughput and ratios; never fails on a number.
//
//   digest-bench.exe FILE WORKDIR     FILE: the file to hash; WORKDIR: scratch space for extraction
#include "bootstrap/Error.h"
#include "integrity/FileDigest.h"
#include "payload/PayloadCache.h"

#include <windows.h>
#include <bcrypt.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int Rounds = 7;

double ThreadCpuSeconds()
{
    FILETIME created{}, exited{}, kernel{}, user{};
    ::GetThreadTimes(::GetCurrentThread(), &created, &exited, &kernel, &user);
    auto value = [](const FILETIME& t) { return (static_cast<double>(t.dwHighDateTime) * 4294967296.0 + t.dwLowDateTime) / 1e7; };
    return value(kernel) + value(user);
}

// Wall time, and the CPU time of this thread, which other load on a busy machine disturbs far less.
struct Cost {
    double wall = 1e30;
    double cpu = 1e30;
};

void Measure(Cost& best, const std::function<void()>& action)
{
    const double cpuStart = ThreadCpuSeconds();
    const auto start = Clock::now();
    action();
    best.wall = std::min(best.wall, std::chrono::duration<double>(Clock::now() - start).count());
    best.cpu = std::min(best.cpu, ThreadCpuSeconds() - cpuStart);
}

std::wstring Hex(const std::vector<UCHAR>& bytes)
{
    static const wchar_t digits[] = L"0123456789abcdef";
    std::wstring text;
    for (const UCHAR b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return text;
}

// The least any SHA-256 over this file through CNG can cost: no owners, no error mapping.
std::wstring BareSha256(const std::wstring& path)
{
    BCRYPT_ALG_HANDLE provider = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    ::BCryptOpenAlgorithmProvider(&provider, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
    ::BCryptCreateHash(provider, &hash, nullptr, 0, nullptr, 0, 0);
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    static UCHAR buffer[65536];
    DWORD read = 0;
    while (::ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read != 0) {
        ::BCryptHashData(hash, buffer, read, 0);
    }
    std::vector<UCHAR> digest(32);
    ::BCryptFinishHash(hash, digest.data(), 32, 0);
    ::CloseHandle(file);
    ::BCryptDestroyHash(hash);
    ::BCryptCloseAlgorithmProvider(provider, 0);
    return Hex(digest);
}

double FileMebibytes(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data{};
    ::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data);
    return ((static_cast<double>(data.nFileSizeHigh) * 4294967296.0) + data.nFileSizeLow) / (1024.0 * 1024.0);
}

// Writes the embedded payload to a file in one call, as extraction does, optionally flushing it.
void WritePayloadCopy(const std::wstring& path, bool flush = false)
{
    HRSRC resource = ::FindResourceW(nullptr, MAKEINTRESOURCEW(201), MAKEINTRESOURCEW(10));
    const DWORD size = ::SizeofResource(nullptr, resource);
    const void* data = ::LockResource(::LoadResource(nullptr, resource));
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    ::WriteFile(file, data, size, &written, nullptr);
    if (flush) {
        ::FlushFileBuffers(file);
    }
    ::CloseHandle(file);
}

int Run(const std::wstring& bigFile, const std::wstring& workDirectory)
{
    const double bigMiB = FileMebibytes(bigFile);
    BareSha256(bigFile);  // both sides start from a warm page cache

    Cost product;
    Cost bare;
    std::wstring productDigest;
    std::wstring bareDigest;
    for (int round = 0; round < Rounds; ++round) {
        const auto measureProduct = [&] {
            Measure(product, [&] { productDigest = Lite::ComputeFileDigest(bigFile, L"SHA256"); });
        };
        const auto measureBare = [&] { Measure(bare, [&] { bareDigest = BareSha256(bigFile); }); };
        if (round % 2 == 0) {
            measureProduct();
            measureBare();
        } else {
            measureBare();
            measureProduct();
        }
    }
    if (productDigest != bareDigest) {
        std::fprintf(stderr, "digests differ\n");
        return 1;
    }
    std::printf("hash %.0f MiB: ComputeFileDigest %.3f s (%.0f MiB/s, cpu %.3f s), bare CNG loop %.3f s (%.0f MiB/s, "
                "cpu %.3f s)\n",
                bigMiB, product.wall, bigMiB / product.wall, product.cpu, bare.wall, bigMiB / bare.wall, bare.cpu);
    std::printf("ratio ComputeFileDigest / bare CNG loop: wall %.3f, cpu %.3f\n", product.wall / bare.wall,
                product.cpu / bare.cpu);
    std::printf("product_hash_seconds=%.6f\n", product.wall);

    ::SetEnvironmentVariableW(L"CORVANE_TEST_DATA_ROOT", (workDirectory + L"\\extract").c_str());
    const std::wstring appPath = Lite::EnsurePayload();
    const std::wstring source = workDirectory + L"\\payload.bin";
    const std::wstring copy = workDirectory + L"\\copy.bin";
    WritePayloadCopy(source);
    const double payloadMiB = FileMebibytes(appPath);

    Cost extract;
    Cost baseline;
    Cost flushedBaseline;
    Cost unavoidable;
    for (int round = 0; round < Rounds; ++round) {
        ::DeleteFileW(appPath.c_str());
        Measure(extract, [] { Lite::EnsurePayload(); });
        ::DeleteFileW(copy.c_str());
        Measure(baseline, [&] {
            ::CopyFileW(source.c_str(), copy.c_str(), FALSE);
            BareSha256(copy);
        });
        ::DeleteFileW(copy.c_str());
        // The extraction flushes its copy to the disk before trusting it; this baseline pays that too.
        Measure(flushedBaseline, [&] {
            ::CopyFileW(source.c_str(), copy.c_str(), FALSE);
            HANDLE file = ::CreateFileW(copy.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
            ::FlushFileBuffers(file);
            ::CloseHandle(file);
            BareSha256(copy);
        });
        ::DeleteFileW(copy.c_str());
        // What no extraction can avoid: one write of the payload from memory, one flush, one hash.
        Measure(unavoidable, [&] {
            WritePayloadCopy(copy, true);
            BareSha256(copy);
        });
    }
    ::DeleteFileW(copy.c_str());
    ::DeleteFileW(source.c_str());
    std::printf("extract %.0f MiB: EnsurePayload (first start) %.3f s, plain copy + one hash %.3f s\n", payloadMiB,
                extract.wall, baseline.wall);
    std::printf("ratio EnsurePayload / (copy + hash): wall %.3f\n", extract.wall / baseline.wall);
    std::printf("ratio EnsurePayload / (copy + flush + hash), context: wall %.3f\n",
                extract.wall / flushedBaseline.wall);
    std::printf("extract %.0f MiB: write + flush + one hash %.3f s\n", payloadMiB, unavoidable.wall);
    std::printf("ratio EnsurePayload / (write + flush + one hash): wall %.3f\n", extract.wall / unavoidable.wall);
    return 0;
}

}

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: digest-bench FILE WORKDIR\n");
        return 2;
    }
    try {
        return Run(argv[1], argv[2]);
    } catch (const Lite::Error& error) {
        std::fwprintf(stderr, L"error: %ls\n", error.message.c_str());
        return 1;
    }
}
