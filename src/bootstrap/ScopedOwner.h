#pragma once

#include <windows.h>

#include <string>
#include <type_traits>
#include <utility>

namespace Lite {

template <typename T>
constexpr bool IsNonNull(const T& value) noexcept
{
    return value != T{};
}

// Owns one platform resource and releases it exactly once. Each kind of resource is an alias that
// names its release function and the test for "holds something".
//
// Releasing happens in destructors, also while an exception unwinds, where a failure to allocate would
// end the process on the spot. So a value is moved in, handed out by reference and moved out again:
// after construction nothing here copies it, and release and move never touch the heap.
template <typename T, auto Release, auto Holds = &IsNonNull<T>>
class ScopedOwner {
    static_assert(std::is_nothrow_default_constructible_v<T> && std::is_nothrow_move_constructible_v<T> &&
                      std::is_nothrow_move_assignable_v<T>,
                  "an owned value must be movable without allocating");

public:
    ScopedOwner() noexcept = default;
    explicit ScopedOwner(T value) noexcept : value_(std::move(value)) {}
    ScopedOwner(const ScopedOwner&) = delete;
    ScopedOwner& operator=(const ScopedOwner&) = delete;
    ScopedOwner(ScopedOwner&& other) noexcept : value_(other.Detach()) {}
    ScopedOwner& operator=(ScopedOwner&& other) noexcept
    {
        if (this != &other) {
            Reset(other.Detach());
        }
        return *this;
    }
    ~ScopedOwner() { Reset(); }

    const T& Get() const noexcept { return value_; }
    bool IsHeld() const noexcept { return Holds(value_); }

    // For platform calls that hand a new resource back through an out-parameter.
    T* Put() noexcept
    {
        Reset();
        return &value_;
    }

    T Detach() noexcept { return std::exchange(value_, T{}); }

    void Reset(T value = T{}) noexcept
    {
        T old = std::exchange(value_, std::move(value));
        if (Holds(old)) {
            Release(old);
        }
    }

private:
    T value_{};
};

inline bool IsUsableHandle(HANDLE handle) noexcept
{
    return handle != nullptr && handle != INVALID_HANDLE_VALUE;
}

using HandleOwner = ScopedOwner<HANDLE, &::CloseHandle, &IsUsableHandle>;

inline void DeleteStagedFile(const std::wstring& path) noexcept
{
    ::DeleteFileW(path.c_str());
}

inline bool NamesFile(const std::wstring& path) noexcept
{
    return !path.empty();
}

// A file written under a temporary name: deleted on every way out unless it was moved into place and
// released with Detach.
using StagedFileOwner = ScopedOwner<std::wstring, &DeleteStagedFile, &NamesFile>;

}
