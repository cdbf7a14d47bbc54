#pragma once

namespace Lite {

// Runs the body and turns whatever escapes it into the warning box. Returns the body's exit code after a
// normal return and 1 after a reported failure.
int RunAndReport(int (*body)());

// Makes System32 the only place DLLs are loaded from for the rest of the process, and takes the current
// directory out of the search. The exe typically runs from a Downloads folder, where a browser may have
// left files of any name beside it. Best effort: where a call is missing or fails, the start goes on.
void RestrictDllSearchToSystem() noexcept;

}
