#include "bootstrap/BuildConfig.h"
#include "bootstrap/Error.h"
#include "common/TestText.h"
#include "common/WineFiles.h"
#include "payload/PayloadCache.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using LiteTest::EnvironmentOverride;
using LiteTest::ScratchDirectory;

// This program carries the demo app as its payload, so the cached copy must equal that file.
std::string DemoApp()
{
    return LiteTest::ReadBytes(LiteTest::ToolPath(L"Corvane.App.exe"));
}

TEST(EnsurePayload, ReturnsTheBackslashPathOfAByteExactCopyBelowTheOverride)
{
    ScratchDirectory scratch;
    const std::wstring root = scratch / L"data";
    std::wstring slashed = root;
    for (wchar_t& c : slashed) {
        if (c == L'\\') {
            c = L'/';
        }
    }
    EnvironmentOverride override(L"CORVANE_TEST_DATA_ROOT", slashed.c_str());
    const std::wstring expected =
        root + L"\\lite-cache\\1.3.7\\" + std::wstring(Lite::Build::PayloadSha256.substr(0, 16)) + L"\\Corvane.App.exe";

    EXPECT_EQ(Lite::EnsurePayload(), expected);
    EXPECT_EQ(LiteTest::ReadBytes(expected), DemoApp());
    EXPECT_EQ(Lite::EnsurePayload(), expected);
    EXPECT_EQ(LiteTest::ListNames(scratch / L"data\\lite-cache\\1.3.7"),
              std::vector<std::wstring>{std::wstring(Lite::Build::PayloadSha256.substr(0, 16))});
}

TEST(EnsurePayload, AnUnusableChainAboveTheCacheStopsBeforeAnythingIsWritten)
{
    ScratchDirectory scratch;
    LiteTest::WriteBytes(scratch / L"lite-cache", "");
    EnvironmentOverride override(L"CORVANE_TEST_DATA_ROOT", scratch.Path().c_str());
    try {
        Lite::EnsurePayload();
        FAIL() << "expected an Error";
    } catch (const Lite::Error& error) {
        EXPECT_EQ(error.message, L"轻量版工作目录不可用，请选择普通本地文件夹。");
    }
    EXPECT_EQ(LiteTest::ReadBytes(scratch / L"lite-cache"), "");
}

TEST(EnsurePayload, RemovesOnlyLeftoverStagingFilesOfItsOwnNameFormAndStartsAnyway)
{
    ScratchDirectory scratch;
    EnvironmentOverride override(L"CORVANE_TEST_DATA_ROOT", scratch.Path().c_str());
    const std::wstring cache = scratch / L"lite-cache";
    const std::wstring payloadDirectory =
        cache + L"\\1.3.7\\" + std::wstring(Lite::Build::PayloadSha256.substr(0, 16));
    const std::wstring downloads = cache + L"\\downloads";
    ASSERT_TRUE(::CreateDirectoryW(cache.c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryW((cache + L"\\1.3.7").c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryW(payloadDirectory.c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryW(downloads.c_str(), nullptr));

    // What GetTempFileNameW makes from "CVN": one to four hex digits (upper case on Windows, lower
    // case under Wine) and ".tmp"; the file system ignores letter case.
    const std::vector<std::wstring> leftovers = {L"CVN1.tmp", L"CVNBEEF.tmp", L"CVNa0f.tmp", L"cvn2.TMP"};
    // Near misses, some of which a "CVN*.tmp" pattern would match through their 8.3 short names.
    const std::vector<std::wstring> others = {
        L"CVN.tmp",  L"CVN12345.tmp", L"CVNxyz.tmp",  L"CVN1.tmp.exe", L"CVN1.tmpx", L"CVN1 .tmp",
        L"XCVN1.tmp", L"CVN1.tm",     L"CVN1.tmp.tmp", L"Corvane.App.exe.tmp"};
    for (const auto& name : leftovers) {
        LiteTest::WriteBytes(payloadDirectory + L"\\" + name, "killed start");
    }
    for (const auto& name : others) {
        LiteTest::WriteBytes(payloadDirectory + L"\\" + name, "not ours");
    }
    // A directory and a directory link of the staging form, and the download directory's own
    // leftovers, all stay.
    ASSERT_TRUE(::CreateDirectoryW((payloadDirectory + L"\\CVN3.tmp").c_str(), nullptr));
    LiteTest::WriteBytes(payloadDirectory + L"\\CVN3.tmp\\inside", "kept");
    ASSERT_TRUE(::CreateDirectoryW((scratch / L"elsewhere").c_str(), nullptr));
    LiteTest::WriteBytes(scratch / L"elsewhere\\CVN9.tmp", "kept");
    LiteTest::MakeDirectoryLink(payloadDirectory + L"\\CVN4.tmp", scratch / L"elsewhere");
    LiteTest::WriteBytes(downloads + L"\\CVN6.tmp", "download leftover");
    LiteTest::WriteBytes(downloads + L"\\CVN7.tmp.exe", "download leftover");
    // Held open for writing by another process, so it cannot be deleted.
    const std::wstring held = payloadDirectory + L"\\CVN5.tmp";
    LiteTest::WriteBytes(held, "held");
    LiteTest::FileHolder holder(held, LiteTest::FileHolder::Sharing::None);

    const std::wstring appPath = payloadDirectory + L"\\Corvane.App.exe";
    EXPECT_EQ(Lite::EnsurePayload(), appPath);
    EXPECT_EQ(LiteTest::ReadBytes(appPath), DemoApp());

    std::vector<std::wstring> expected = others;
    expected.insert(expected.end(), {L"CVN3.tmp", L"CVN4.tmp", L"CVN5.tmp", L"Corvane.App.exe"});
    std::sort(expected.begin(), expected.end());
    std::vector<std::wstring> left = LiteTest::ListNames(payloadDirectory);
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, expected);
    for (const auto& name : others) {
        EXPECT_EQ(LiteTest::ReadBytes(payloadDirectory + L"\\" + name), "not ours") << LiteTest::Utf8(name);
    }
    EXPECT_EQ(LiteTest::ReadBytes(payloadDirectory + L"\\CVN3.tmp\\inside"), "kept");
    EXPECT_EQ(LiteTest::ReadBytes(scratch / L"elsewhere\\CVN9.tmp"), "kept");
    EXPECT_EQ(LiteTest::ListNames(downloads), (std::vector<std::wstring>{L"CVN6.tmp", L"CVN7.tmp.exe"}));

    // Once nobody holds it, the next start removes it, although that start only reuses its copy.
    holder.Release();
    EXPECT_EQ(Lite::EnsurePayload(), appPath);
    EXPECT_FALSE(LiteTest::Exists(held));
    EXPECT_EQ(LiteTest::ReadBytes(appPath), DemoApp());
}

}
