#pragma once

#include <windows.h>

#include <string>
#include <utility>

namespace Lite {

template <typename T>
constexpr bool IsNonNull(T value) noexcept
{
    return value != T{};
}

// Owns one platform resource and releases it exactly once. Each kind of resource is an alias that
// names its release function and the test for "holds something".
template <typename T, auto Release, bool (*Holds)(T) = &IsNonNull<T>>
class ScopedOwner {
public:
    ScopedOwner() noexcept = default;
    explicit ScopedOwner(T value) noexcept : value_(value) {}
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

    T Get() const noexcept { return value_; }
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
        T old = std::exchange(value_, value);
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

inline void DeleteStagedFile(std::wstring path) noexcept
{
    ::DeleteFileW(path.c_str());
}

inline bool NamesFile(std::wstring path) noexcept
{
    return !path.empty();
}

// A file written under a temporary name: deleted on every way out unless it was moved into place and
// released with Detach.
using StagedFileOwner = ScopedOwner<std::wstring, &DeleteStagedFile, &NamesFile>;

}
