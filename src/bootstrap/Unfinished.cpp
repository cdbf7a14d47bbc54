// Operations of the launch flow that are not built yet. Each one refuses to pretend: it fails with the
// generic start-up message. Every definition here is removed when its real implementation lands.
#include "bootstrap/Error.h"
#include "install/InstallConsent.h"
#include "install/RuntimeInstaller.h"
#include "runtime/AppLaunch.h"
#include "runtime/RuntimeProbe.h"

namespace Lite {

namespace {

[[noreturn]] void NotBuiltYet()
{
    throw Error{L"轻量版未能启动，请重新尝试或使用完整版。"};
}

}

std::wstring FindWorkingRuntime(const std::wstring&) { NotBuiltYet(); }
void LaunchApp(const std::wstring&, const std::wstring&) { NotBuiltYet(); }
bool AskToInstallRuntime() { NotBuiltYet(); }
std::uint32_t DownloadAndInstallRuntime() { NotBuiltYet(); }

}
