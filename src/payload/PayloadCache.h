#pragma once

#include <string>

namespace Lite {

// Makes sure the cache holds a byte-exact copy of the embedded app and returns its path.
std::wstring EnsurePayload();

}
