#pragma once

namespace Lite {

// Makes the common controls ready for a task dialog: called right before each one is shown, so that a
// start that shows none (every start with a working runtime) never loads the common controls at all.
// Throws, as any other unexpected failure, when the DLL or a function of it is missing.
void PrepareTaskDialogs();

}
