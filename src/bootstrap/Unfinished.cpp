// Operations of the launch flow that are not built yet. Each one refuses to pretend: it fails with the
// generic start-up message. Every definition here is removed when its real implementation lands.
#include "bootstrap/Error.h"
#include "install/RuntimeInstaller.h"

namespace Lite {

namespace {

[[noreturn]] void NotBuiltYet()
{
    throw Error{L"轻量版未能启动，请重新尝试或使用完整版。"};
}

}

std::uint32_t DownloadAndInstallRuntime() { NotBuiltYet(); }

}
