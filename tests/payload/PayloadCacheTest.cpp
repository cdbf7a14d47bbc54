#include "bootstrap/BuildConfig.h"
#include "bootstrap/Error.h"
#include "common/WineFiles.h"
#include "payload/PayloadCache.h"

#include <gtest/gtest.h>

#include <string>

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

}
