#include "bootstrap/Error.h"
#include "common/TestText.h"
#include "common/WineFiles.h"
#include "integrity/FileDigest.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>

namespace {

using LiteTest::ErrorMessageOf;
using LiteTest::FileHolder;
using LiteTest::ScratchDirectory;

const std::wstring CannotInitialise = L"无法初始化文件校验。";
const std::wstring CannotOpen = L"无法读取需要校验的文件。";

// A xorshift byte sequence with no period anywhere near the 64 KiB read size: every block differs
// from every other, so a lost, repeated, shifted or stale block changes the digest. (A pattern that
// repeats every 256 bytes makes all blocks alike and hides exactly those faults.) The expected digests
// below were computed from the same sequence with another implementation.
std::string Pattern(std::size_t size)
{
    std::string bytes(size, '\0');
    std::uint32_t state = 0x9E3779B9u;
    for (char& byte : bytes) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        byte = static_cast<char>(state >> 24);
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
               L"3d3acbd5a46793c4ac96cce81f7f02c08baf83ec20cff12114755a5b3cb5b12e",
               L"c013a58ee54f03aea6f760a4dc1653e471a5f858ed50178a8d8b256f8bc33125d01a18afce78a2a57d4d4cd570ddaf945428071743a708b3148e6af64a623cc1"},
        Vector{"exactly_one_block", Pattern(65536),
               L"562ad15077f71a0121e34cf29b263ec7db542a555828eeffd33ce8d428b5f7c3",
               L"f540915263ece3a4cc9b61f827d1e55933e3dd74f59b1e801ab0ffbbef288339473f1f9b1a4e6e51b106e913897ea1cb516244c949c3610e6df941a017606618"},
        Vector{"one_past_a_block", Pattern(65537),
               L"2c35b468290993f696874bb2827bac1842696bd4e285a428519bc3aacc480674",
               L"3cbd3026e275c95c2adc8b0ebc2cebebdaf8b87aa7911dd9b008fe693783faddc790a6ba4e1ccc95fab3f41f07e3696403f87b895d597eacb5d41e8ef22e27cf"},
        Vector{"several_blocks", Pattern(200000),
               L"2dd614eee6e54109fcd3db4b0a75c03f12ee3b25654a8ee09eaa72b850316557",
               L"dfc0afcb2857178ad9f7c7a57eeded7a3a895cad1b99e56ba37c9c3653bd30c6eaa806987b6201312469a7b050ed7396edfd026880141f7ef22be639b56e4fa9"}),
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

TEST(FileDigest, AReadThatFailsAfterTheOpenLeavesNoHandleBehind)
{
    // Wine's GetProcessHandleCount always reports 0, so a leaked handle is shown by its effect: an
    // exclusive open and a rename that fail while any handle is left.
    //
    // A read can only fail for real once the file is open. Wine 8 does not hold reads to byte-range
    // locks (a range another process locked exclusively reads fine), but a file whose Unix side fails
    // every read does it: a link to /proc/self/mem opens normally, and reading its first page, which
    // is never mapped, fails (EIO, reported as ERROR_NOT_READY).
    ScratchDirectory scratch;
    const std::wstring path = scratch / L"unreadable.bin";
    LiteTest::RunUnixShell("ln -s /proc/self/mem '" + LiteTest::UnixPath(path) + "'");
    for (const wchar_t* algorithm : {L"SHA256", L"SHA512"}) {
        EXPECT_EQ(ErrorMessageOf([&] { Lite::ComputeFileDigest(path, algorithm); }), L"读取文件失败。")
            << testing::PrintToString(std::wstring(algorithm));
        EXPECT_TRUE(LiteTest::IsFreeToReplace(path));
        LiteTest::RunUnixShell("rm -f '" + LiteTest::UnixPath(path) + "' && ln -s /proc/self/mem '" +
                               LiteTest::UnixPath(path) + "'");
    }
}

}
