#include "bootstrap/ScopedOwner.h"

#include "common/WineFiles.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <utility>

// Every heap allocation of this test program passes through here, so a test can see whether a piece
// of code allocates at all.
namespace {
std::atomic<bool> countingAllocations{false};
std::atomic<long> allocationsSeen{0};
}

void* operator new(std::size_t size)
{
    if (countingAllocations.load()) {
        ++allocationsSeen;
    }
    if (void* memory = std::malloc(size == 0 ? 1 : size)) {
        return memory;
    }
    throw std::bad_alloc();
}

void operator delete(void* memory) noexcept
{
    std::free(memory);
}

void operator delete(void* memory, std::size_t) noexcept
{
    std::free(memory);
}

namespace {

// Allocations made between construction and Stop().
class AllocationCount {
public:
    AllocationCount()
    {
        allocationsSeen = 0;
        countingAllocations = true;
    }
    ~AllocationCount() { countingAllocations = false; }
    long Stop()
    {
        countingAllocations = false;
        return allocationsSeen.load();
    }
};

std::wstring MakeFile(const LiteTest::ScratchDirectory& scratch, const std::wstring& name)
{
    // Long enough that the string lives on the heap, so any copy of it would have to allocate.
    const std::wstring path = scratch / (name + L"-with-a-name-far-longer-than-any-small-string-buffer.tmp.exe");
    LiteTest::WriteBytes(path, "staged");
    return path;
}

// Owners run in destructors, also while an exception unwinds, where an allocation that fails ends the
// process on the spot: no warning box, no exit code 1, the staged file left behind. So taking a path,
// reading it, moving it between owners and deleting the file must not touch the heap.
TEST(StagedFileOwner, TakesReadsMovesAndDeletesWithoutAllocating)
{
    LiteTest::ScratchDirectory scratch;
    std::wstring first = MakeFile(scratch, L"first");
    std::wstring second = MakeFile(scratch, L"second");
    std::wstring third = MakeFile(scratch, L"third");
    const std::wstring firstPath = first;
    const std::wstring secondPath = second;
    const std::wstring thirdPath = third;

    AllocationCount count;
    bool firstSeenThroughOwner = false;
    bool secondGoneAfterMoveAssignment = false;
    bool thirdGoneAfterReset = false;
    {
        Lite::StagedFileOwner owner(std::move(first));
        firstSeenThroughOwner = owner.IsHeld() && owner.Get().size() == firstPath.size() &&
                                ::GetFileAttributesW(owner.Get().c_str()) != INVALID_FILE_ATTRIBUTES;

        Lite::StagedFileOwner other(std::move(second));
        // Taking over another owner's file releases the one held before.
        other = std::move(owner);
        secondGoneAfterMoveAssignment = ::GetFileAttributesW(secondPath.c_str()) == INVALID_FILE_ATTRIBUTES;

        Lite::StagedFileOwner moved(std::move(other));
        Lite::StagedFileOwner replaced(std::move(third));
        replaced.Reset();
        thirdGoneAfterReset = ::GetFileAttributesW(thirdPath.c_str()) == INVALID_FILE_ATTRIBUTES;
    }
    EXPECT_EQ(count.Stop(), 0);

    EXPECT_TRUE(firstSeenThroughOwner);
    EXPECT_TRUE(secondGoneAfterMoveAssignment);
    EXPECT_TRUE(thirdGoneAfterReset);
    EXPECT_FALSE(LiteTest::Exists(firstPath)) << "the last owner's destruction deletes the file";
    EXPECT_EQ(LiteTest::ListNames(scratch.Path()).size(), 0u);
}

TEST(StagedFileOwner, AFileMovedIntoPlaceIsKeptAfterDetach)
{
    LiteTest::ScratchDirectory scratch;
    std::wstring path = MakeFile(scratch, L"kept");
    const std::wstring kept = path;
    {
        Lite::StagedFileOwner owner(std::move(path));
        AllocationCount count;
        owner.Detach();
        EXPECT_FALSE(owner.IsHeld());
        EXPECT_EQ(count.Stop(), 0);
    }
    EXPECT_EQ(LiteTest::ReadBytes(kept), "staged");
}

TEST(StagedFileOwner, DeletesItsFileWhileAnExceptionUnwinds)
{
    LiteTest::ScratchDirectory scratch;
    std::wstring path = MakeFile(scratch, L"unwound");
    const std::wstring staged = path;
    try {
        Lite::StagedFileOwner owner(std::move(path));
        throw std::bad_alloc();
    } catch (const std::bad_alloc&) {
    }
    EXPECT_FALSE(LiteTest::Exists(staged));
}

}
