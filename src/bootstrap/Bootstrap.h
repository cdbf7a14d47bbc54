#pragma once

namespace Lite {

// One whole start: single-instance guard, payload, launch flow. Returns the exit code (0 whenever it
// returns); failures leave as exceptions for the entry point to report.
int RunBootstrap();

}
