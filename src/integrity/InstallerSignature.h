#pragma once

#include <string>

namespace Lite {

// True only for a valid embedded Authenticode signature whose signer's organization is
// "Microsoft Corporation". A negative answer is false, never an exception; only a system that lacks
// the DLLs to ask with makes it throw.
bool VerifyInstallerSignature(const std::wstring& path);

}
