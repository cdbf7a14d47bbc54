#pragma once

#include <span>
#include <string_view>

namespace Lite {

// A system DLL that the exe delay-loads, with every function the program may call in it.
struct DelayLoadedDll {
    const wchar_t* name;
    std::span<const char* const> functions;
};

// All of them, written by the build from the very lists the delay-import libraries are made from
// (cmake/delay-imports), so a function that is called is always a function that is checked.
extern const std::span<const DelayLoadedDll> DelayLoadedDlls;

// The first call into a delay-loaded DLL goes through the tool chain's helper, which loads the DLL and
// looks the function up. Where either is missing (a damaged or trimmed system, a DLL blocked by policy),
// the helper raises a structured exception: no C++ handler sees it, the process crashes, and whatever a
// scoped owner would have removed (a staged file) stays. So every road calls this before its first call
// into such a DLL: it loads the DLL exactly as the helper would and finds every listed function, and when
// one is not there it throws std::system_error, an ordinary exception that unwinds through our own code
// only and ends as any other unexpected failure. Afterwards the helper finds the DLL loaded and every
// function present, so it cannot fail. The DLL stays loaded for the rest of the process.
void RequireDelayLoadedDll(std::wstring_view name);
void RequireDelayLoadedDll(const DelayLoadedDll& dll);

}
