#pragma once

#include <string>

namespace Lite {

// The program's one failure type: the finished text shown to the user, nothing else. It stays outside
// the standard exception hierarchy on purpose, so a handler for standard exceptions never swallows it.
struct Error {
    std::wstring message;
};

}
