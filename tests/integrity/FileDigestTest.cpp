#include "bootstrap/Error.h"
#include "common/TestText.h"
#include "common/WineFiles.h"
#include "integrity/FileDigest.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace {

using LiteTest::ErrorMessageOf;
using LiteTest::FileHolder;
using LiteTest::ScratchDirectory;

const std::wstring CannotInitialise = L"无法初始化文件校验。";
const std::wstring CannotOpen = L"无法读取需要校验的文件。";

// A pattern that differs at every position of a 64 KiB block, so a lost, repeated or shifted block
// changes the digest.
std::string Pattern(std::size_t size)
{
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((i * 7 + 3) % 256);
    }
    return bytes;
}

struct Vector {
    const char* name;
    std::string content;
    std::wstring sha256;
    std::wstring sha512;
};

class KnownDigests : public testing::TestWithParam<Vector> {};

TEST_P(KnownDigests, MatchTheReferenceInLowerCase)
{
    const Vector& v = GetParam();
    ScratchDirectory scratch;
    const std::wstring path = scratch / L"input.bin";
    LiteTest::WriteBytes(path, v.content);

    EXPECT_EQ(Lite::ComputeFileDigest(path, L"SHA256"), v.sha256);
    EXPECT_EQ(Lite::ComputeFileDigest(path, L"SHA512"), v.sha512);
    EXPECT_EQ(Lite::ComputeFileDigest(path, L"SHA256"), v.sha256) << "a second pass differs";
    EXPECT_TRUE(LiteTest::IsFreeToReplace(path));
}

INSTANTIATE_TEST_SUITE_P(
    Files, KnownDigests,
    testing::Values(
        Vector{"empty", "", L"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855",
               L"cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce47d0d13c5d85f2b0ff8318d2877eec2f63b931bd47417a81a538327af927da3e"},
        Vector{"abc", "abc", L"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad",
               L"ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f"},
        Vector{"one_below_a_block", Pattern(65535),
               L"feaacf5dfeada48ff99357abd0998dd8b350c8b0603a81f573cf3ea577885f99",
               L"e858fefdbdb950429735e3930f452223f03a952157f75adcdfa616f697f09f92e7ad0b72ccf65766b13da7aeaaedbdf5a59beaa952c5a06037a0898066eb546a"},
        Vector{"exactly_one_block", Pattern(65536),
               L"510b126e1d4ced49107fe4ab03ee54cb1c8e4caf6064e1dd29c48d4a3e74c38b",
               L"e926f618f10ac451ee87c850116725cee283ca5a6e9e50870ab6ec09290c1ce0b69ca299dd6c97607397d32126e10a34edd67ff5a6784c4aa6f7459fffc34bc2"},
        Vector{"one_past_a_block", Pattern(65537),
               L"ad8b370d36508e55e3c9cd44667a6e36e35955d0ff9f8fe59805bb18c2db5dd8",
               L"09ea91cb14254d3769252330d6deed58ac5c5579a7cd22767073c2976e999d0da03590c9fb524859155bcd8eeaf9a14cd1051449b4533f7b37a2abed43c4b44e"},
        Vector{"several_blocks", Pattern(200000),
               L"ec0ebf98b6f2954bf0f7b839402b1ba245996c39d18e155414e91a2b4353c157",
               L"ee89b0add9669db9eecae052118c5042cc57a4727bb35a1d043b7a0c97bce42aaf67bcc2d1628b3ebaae133faafa2b706521efc50e094626fa500599eafca8c1"}),
    [](const testing::TestParamInfo<Vector>& info) { return std::string(info.param.name); });

TEST(FileDigest, UnknownAlgorithmFailsBeforeTheFileIsLookedAt)
{
    ScratchDirectory scratch;
    const std::wstring path = scratch / L"input.bin";
    LiteTest::WriteBytes(path, "abc");
    for (const wchar_t* algorithm : {L"SHA257", L"", L"sha-256"}) {
        EXPECT_EQ(ErrorMessageOf([&] { Lite::ComputeFileDigest(path, algorithm); }), CannotInitialise)
            << testing::PrintToString(std::wstring(algorithm));
        EXPECT_TRUE(LiteTest::IsFreeToReplace(path));
        LiteTest::WriteBytes(path, "abc");
    }
    // A missing file would be the next failure; the algorithm is refused first.
    EXPECT_EQ(ErrorMessageOf([&] { Lite::ComputeFileDigest(scratch / L"missing", L"SHA257"); }), CannotInitialise);
}

TEST(FileDigest, MissingFilesAndDirectoriesCannotBeRead)
{
    ScratchDirectory scratch;
    LiteTest::WriteBytes(scratch / L"file", "x");
    for (const std::wstring& path :
         {scratch / L"missing.bin", scratch / L"missing\\deeper.bin", scratch.Path(), scratch / L"file\\child"}) {
        EXPECT_EQ(ErrorMessageOf([&] { Lite::ComputeFileDigest(path, L"SHA256"); }), CannotOpen)
            << testing::PrintToString(path);
    }
}

TEST(FileDigest, AFileAnotherProcessHoldsOpenForWritingIsRefused)
{
    ScratchDirectory scratch;
    const std::wstring path = scratch / L"busy.bin";
    for (const FileHolder::Sharing sharing : {FileHolder::Sharing::Read, FileHolder::Sharing::None}) {
        LiteTest::WriteBytes(path, "being written");
        {
            FileHolder holder(path, sharing);
            EXPECT_EQ(ErrorMessageOf([&] { Lite::ComputeFileDigest(path, L"SHA256"); }), CannotOpen);
        }
        EXPECT_TRUE(LiteTest::IsFreeToReplace(path));
    }
}

TEST(FileDigest, NoHandleOutlivesACall)
{
    ScratchDirectory scratch;
    const std::wstring path = scratch / L"input.bin";
    LiteTest::WriteBytes(path, Pattern(70000));
    Lite::ComputeFileDigest(path, L"SHA256");

    DWORD before = 0;
    ASSERT_TRUE(::GetProcessHandleCount(::GetCurrentProcess(), &before));
    for (int i = 0; i < 20; ++i) {
        Lite::ComputeFileDigest(path, L"SHA512");
        ErrorMessageOf([&] { Lite::ComputeFileDigest(path, L"NOPE"); });
        ErrorMessageOf([&] { Lite::ComputeFileDigest(scratch.Path(), L"SHA256"); });
    }
    DWORD after = 0;
    ASSERT_TRUE(::GetProcessHandleCount(::GetCurrentProcess(), &after));
    EXPECT_EQ(after, before);
    EXPECT_TRUE(LiteTest::IsFreeToReplace(path));
}

}
