#pragma once

namespace Lite {

// Runs the body and turns whatever escapes it into the warning box. Returns the body's exit code after a
// normal return and 1 after a reported failure.
int RunAndReport(int (*body)());

}
