// A stand-in controller library for what the real one never does: more
// controllers or ports than the dialog's tables hold, a controller that is
// reported but not loaded, controllers without ports, modes out of range.
// It exports only the five functions the utility calls, plus two for the
// test: one picks the scenario, one returns the calls seen so far.
#include <stdio.h>
#include <string.h>

#include <string>

#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

std::string g_Scenario = "many";
std::string g_Calls;

void Log(const char *format, int a = 0, int b = 0, int c = 0)
{
    char line[128];
    snprintf(line, sizeof(line), format, a, b, c);
    g_Calls += line;
}

} // namespace

FAKE_EXPORT void FakeVeskardinScenario(const char *name)
{
    g_Scenario = name;
    g_Calls.clear();
}

FAKE_EXPORT const char *FakeVeskardinCalls()
{
    return g_Calls.c_str();
}

FAKE_EXPORT int GnLoadDevice(int *count, int *handles)
{
    Log("Load;");
    if (g_Scenario == "many") {
        // Twelve controllers, but only the ten slots the caller has are written.
        for (int i = 0; i < 10; ++i)
            handles[i] = 100 + i;
        *count = 12;
    } else if (g_Scenario == "badhandle") {
        handles[0] = 100;
        handles[1] = -1;
        *count = 2;
    } else if (g_Scenario == "zeroports") {
        for (int i = 0; i < 3; ++i)
            handles[i] = 100 + i;
        *count = 3;
    } else if (g_Scenario == "badmode") {
        handles[0] = 100;
        *count = 1;
    } else if (g_Scenario == "negative") {
        *count = -3;
    }
    return 1;
}

FAKE_EXPORT int GnUnloadDevice()
{
    Log("Unload;");
    return 1;
}

FAKE_EXPORT int GnProductId_Get(int handle, int *value, int *ports)
{
    *value = 0x2B72;
    if (g_Scenario == "many")
        *ports = 100;
    else if (g_Scenario == "zeroports")
        *ports = handle == 101 ? 0 : 2;
    else if (g_Scenario == "badmode")
        *ports = 2;
    else
        *ports = 2;
    return 1;
}

FAKE_EXPORT int GnPortMode_Get(int handle, int port, int *mode)
{
    Log("Get %d %d;", handle, port);
    if (g_Scenario == "badmode") {
        if (port == 0)
            *mode = 7;
        return port == 0; // port 1: fails and writes nothing
    }
    *mode = 2;
    return 1;
}

FAKE_EXPORT int GnPortMode_Set(int handle, int port, int mode)
{
    Log("Set %d %d %d;", handle, port, mode);
    return mode >= 0 && mode <= 2;
}
