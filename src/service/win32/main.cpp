// Kelvo.exe's entry point. The module is a static object: its construction during static
// initialisation writes the process's first log line, which creates the logger.
#include "log/log.h"
#include "platform/world.h"
#include "service/kelvo.h"

namespace {

const platform::Platform& ProcessPlatform() { return platform::World::Current().GetPlatform(); }

CKelvoModule g_module(ProcessPlatform().services, ProcessPlatform().registry, ProcessPlatform().com,
                      ProcessPlatform().kernel);
// The last static object of the program: its destruction at exit releases the logger.
CLogLifetime<CLog<LogProviderKelvo>> g_logLifetime;

}  // namespace

extern "C" int WINAPI wWinMain(HINSTANCE /*hInstance*/, HINSTANCE /*hPrevInstance*/,
                               LPWSTR /*lpCmdLine*/, int nShowCmd) {
    return KelvoMain(g_module, ProcessPlatform().services, nShowCmd);
}
