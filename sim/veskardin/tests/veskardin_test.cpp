// The controller library as the utility loads it: by its DLL name.
#include <windows.h>

#include "controller/state.h"

#include <gtest/gtest.h>

#include <stdlib.h>

#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

typedef int (*LoadFn)(int *, int *);
typedef int (*UnloadFn)();
typedef int (*ProductFn)(int, int *, int *);
typedef int (*ModeGetFn)(int, int, int *);
typedef int (*ModeSetFn)(int, int, int);

template <class T>
T Proc(HMODULE module, const char *name)
{
    return reinterpret_cast<T>(reinterpret_cast<void *>(GetProcAddress(module, name)));
}

class VeskardinTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/veskardin-libXXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_Dir = tmpl;
        setenv("NERAVOX_STATE_DIR", m_Dir.c_str(), 1);
        std::string config = m_Dir + "/controllers.json";
        std::ofstream(config) << R"({ "controllers": [
            { "productId": "0x2B72", "DevID": 0, "ports": [ {"line": "none"}, {"line": "none"}, {"line": "none"}, {"line": "none"} ] },
            { "productId": "0x4D58", "DevID": 7, "ports": [ {"line": "none"}, {"line": "none"} ] } ] })";
        setenv("NERAVOX_CONFIG", config.c_str(), 1);
        m_Module = LoadLibraryA("VESKARDIN.DLL");
        ASSERT_NE(m_Module, nullptr);
        m_Load = Proc<LoadFn>(m_Module, "GnLoadDevice");
        m_Unload = Proc<UnloadFn>(m_Module, "GnUnloadDevice");
        m_Product = Proc<ProductFn>(m_Module, "GnProductId_Get");
        m_Get = Proc<ModeGetFn>(m_Module, "GnPortMode_Get");
        m_Set = Proc<ModeSetFn>(m_Module, "GnPortMode_Set");
        ASSERT_TRUE(m_Load && m_Unload && m_Product && m_Get && m_Set);
    }
    void TearDown() override
    {
        if (m_Module != nullptr) {
            m_Unload();
            FreeLibrary(m_Module);
        }
        unsetenv("NERAVOX_CONFIG");
        unsetenv("NERAVOX_STATE_DIR");
        std::string cmd = "rm -rf '" + m_Dir + "'";
        EXPECT_EQ(system(cmd.c_str()), 0);
    }

    std::string m_Dir;
    HMODULE m_Module = nullptr;
    LoadFn m_Load = nullptr;
    UnloadFn m_Unload = nullptr;
    ProductFn m_Product = nullptr;
    ModeGetFn m_Get = nullptr;
    ModeSetFn m_Set = nullptr;
};

TEST_F(VeskardinTest, ExportsAllThirteenNames)
{
    for (const char *name : {"GnLoadDevice", "GnUnloadDevice", "GnPortMode_Set", "GnPortMode_Get", "GnPort422485_Set",
                             "GnPort422485_Get", "GnProductId_Get", "GnResetUart", "GnResetPort", "GetResources",
                             "ReadMemPortDW", "WriteMemPortDW", "GnGetInterfaceState_SRC"})
        EXPECT_NE(GetProcAddress(m_Module, name), nullptr) << name;
}

TEST_F(VeskardinTest, ControllersPortsAndModesOfTheConfiguration)
{
    int count = 0, handles[10];
    for (int &h : handles)
        h = -1;
    ASSERT_EQ(m_Load(&count, handles), 1);
    ASSERT_EQ(count, 2);
    EXPECT_NE(handles[0], -1);
    EXPECT_NE(handles[1], -1);
    EXPECT_NE(handles[0], handles[1]);
    EXPECT_EQ(handles[2], -1); // only the controllers found are written

    int value = 0, ports = 0;
    ASSERT_EQ(m_Product(handles[0], &value, &ports), 1);
    EXPECT_EQ(value, 0x2B72);
    EXPECT_EQ(ports, 4);
    ASSERT_EQ(m_Product(handles[1], &value, &ports), 1);
    EXPECT_EQ(value, 0x4D58);
    EXPECT_EQ(ports, 2);

    // Modes are the shared controller state, keyed by DevID.
    sim::controller::StateStore state(m_Dir);
    int mode = -1;
    ASSERT_EQ(m_Get(handles[1], 1, &mode), 1);
    EXPECT_EQ(mode, 1);
    ASSERT_EQ(m_Set(handles[1], 1, 2), 1);
    EXPECT_EQ(state.GetMode(7, 1), 2);
    EXPECT_EQ(state.GetMode(0, 1), 1);
    state.SetMode(0, 3, 0);
    ASSERT_EQ(m_Get(handles[0], 3, &mode), 1);
    EXPECT_EQ(mode, 0);
}

TEST_F(VeskardinTest, InvalidCallsFailAndChangeNothing)
{
    int count = 0, handles[10];
    ASSERT_EQ(m_Load(&count, handles), 1);
    sim::controller::StateStore state(m_Dir);
    int mode = 42, value = 42, ports = 42;
    EXPECT_EQ(m_Set(handles[0], 0, 3), 0);
    EXPECT_EQ(m_Set(handles[0], 0, -1), 0);
    EXPECT_EQ(m_Set(handles[0], 4, 0), 0);
    EXPECT_EQ(m_Set(handles[0], -1, 0), 0);
    EXPECT_EQ(m_Set(-1, 0, 0), 0);
    EXPECT_EQ(m_Get(handles[1], 2, &mode), 0);
    EXPECT_EQ(m_Get(handles[0], 0, nullptr), 0);
    EXPECT_EQ(m_Product(-1, &value, &ports), 0);
    EXPECT_EQ(mode, 42);
    EXPECT_EQ(value, 42);
    EXPECT_EQ(ports, 42);
    EXPECT_EQ(state.AllModes(0, 4), (std::vector<int>{1, 1, 1, 1}));
    EXPECT_EQ(m_Load(nullptr, handles), 0);

    // After unloading, the handles are gone.
    EXPECT_EQ(m_Unload(), 1);
    EXPECT_EQ(m_Get(handles[0], 0, &mode), 0);
    EXPECT_EQ(m_Set(handles[0], 0, 1), 0);

    // The functions the utility never calls report failure.
    auto reset = Proc<int (*)(int, int)>(m_Module, "GnResetPort");
    auto read = Proc<int (*)(int, unsigned, unsigned *)>(m_Module, "ReadMemPortDW");
    unsigned word = 0;
    EXPECT_EQ(reset(handles[0], 0), 0);
    EXPECT_EQ(read(handles[0], 0, &word), 0);
}

TEST_F(VeskardinTest, ConcurrentCallersEachKeepTheirMode)
{
    int count = 0, handles[10];
    ASSERT_EQ(m_Load(&count, handles), 1);
    // Four threads set their own port over and over, mixed with queries.
    std::vector<std::thread> threads;
    for (int port = 0; port < 4; ++port)
        threads.emplace_back([&, port] {
            for (int round = 0; round < 20; ++round) {
                EXPECT_EQ(m_Set(handles[0], port, (port + round) % 3), 1);
                int mode = -1;
                EXPECT_EQ(m_Get(handles[0], port, &mode), 1);
                EXPECT_EQ(mode, (port + round) % 3);
            }
        });
    for (std::thread &t : threads)
        t.join();
    sim::controller::StateStore state(m_Dir);
    EXPECT_EQ(state.AllModes(0, 4), (std::vector<int>{19 % 3, 20 % 3, 21 % 3, 22 % 3}));
}

TEST_F(VeskardinTest, BadConfigurationFindsNoController)
{
    std::ofstream(m_Dir + "/controllers.json") << "{ \"controllers\": 3 }";
    int count = 5, handles[10];
    EXPECT_EQ(m_Load(&count, handles), 0);
    EXPECT_EQ(count, 0);
}

} // namespace
