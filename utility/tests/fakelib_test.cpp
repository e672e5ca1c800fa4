// The dialog's tables and checks against a stand-in library.
#include "support.h"

#include "resource.h"

#include <string>

namespace {

class FakeLibraryTest : public utiltest::UtilityFixture {
protected:
    void SetUp() override
    {
        UtilityFixture::SetUp();
        // The same shared object the dialog will load: its state is shared.
        m_Module = LoadLibraryA("VESKARDIN.DLL");
        ASSERT_NE(m_Module, nullptr);
        m_Scenario = reinterpret_cast<void (*)(const char *)>(
            reinterpret_cast<void *>(GetProcAddress(m_Module, "FakeVeskardinScenario")));
        m_Calls = reinterpret_cast<const char *(*)()>(
            reinterpret_cast<void *>(GetProcAddress(m_Module, "FakeVeskardinCalls")));
        ASSERT_NE(m_Scenario, nullptr);
        ASSERT_NE(m_Calls, nullptr);
    }
    void TearDown() override
    {
        if (m_Module != nullptr)
            FreeLibrary(m_Module);
        UtilityFixture::TearDown();
    }

    std::string Calls() const { return m_Calls(); }
    static int Selection(CDialog &d, int port)
    {
        mfc::Window *w = mfc::FindChild(d.m_hWnd, IDC_PORT_LIST_BASE + port);
        return w != nullptr ? w->curSel : -99;
    }

    HMODULE m_Module = nullptr;
    void (*m_Scenario)(const char *) = nullptr;
    const char *(*m_Calls)() = nullptr;
};

TEST_F(FakeLibraryTest, MissingFunctionsAreTracedInOrder)
{
    m_Scenario("badmode");
    RunMainDialog([](CDialog &) {});
    const char *missing[] = {"GnPort422485_Set", "GnPort422485_Get", "GnResetUart",  "GnResetPort",
                             "GetResources",     "ReadMemPortDW",    "WriteMemPortDW", "GnGetInterfaceState_SRC"};
    std::string expected;
    for (const char *name : missing)
        expected += std::string("Failed to load \"") + name + "\" Function\n";
    EXPECT_EQ(m_Trace.substr(0, expected.size()), expected);
    for (const char *present : {"GnLoadDevice", "GnUnloadDevice", "GnPortMode_Set", "GnPortMode_Get", "GnProductId_Get"})
        EXPECT_EQ(m_Trace.find(std::string("\"") + present + "\""), std::string::npos) << present;
    // Destroy unloads the controllers.
    std::string calls = Calls();
    EXPECT_EQ(calls.substr(calls.size() - 7), "Unload;");
}

TEST_F(FakeLibraryTest, TablesAreNeverWrittenPastTheirEnd)
{
    m_Scenario("many"); // 12 controllers of 100 ports each
    RunMainDialog([&](CDialog &d) {
        EXPECT_NE(mfc::FindChild(d.m_hWnd, IDC_PORT_LIST_BASE + 255), nullptr);
        EXPECT_EQ(mfc::FindChild(d.m_hWnd, IDC_PORT_LIST_BASE + 256), nullptr);
        EXPECT_EQ(mfc::FindChild(d.m_hWnd, IDC_PORT_LABEL_BASE + 255)->text, "255. COM-1");
        EXPECT_EQ(Selection(d, 255), 2);
        m_Scenario("many"); // forget the calls so far
        mfc::Click(d.m_hWnd, IDC_BUTTON_WRITE);
        std::string calls = Calls();
        // Ports 0-99 on the first controller, 100-199 on the second, the
        // remaining 56 on the third; the fourth gets none.
        EXPECT_NE(calls.find("Set 100 0 2;"), std::string::npos);
        EXPECT_NE(calls.find("Set 101 99 2;"), std::string::npos);
        EXPECT_NE(calls.find("Set 102 55 2;"), std::string::npos);
        EXPECT_EQ(calls.find("Set 102 56 "), std::string::npos);
        EXPECT_EQ(calls.find("Set 103 "), std::string::npos);
    });
    EXPECT_NE(m_Trace.find("12 controllers reported; the handle table holds 10"), std::string::npos) << m_Trace;
    EXPECT_NE(m_Trace.find("ports are counted for the first 4 only"), std::string::npos);
    EXPECT_NE(m_Trace.find("Controller 2 reports 100 ports; 56 fit in the port table"), std::string::npos);
    EXPECT_NE(m_Trace.find("Controller 3 reports 100 ports; 0 fit in the port table"), std::string::npos);
    EXPECT_TRUE(MessageBoxTexts().empty());
}

TEST_F(FakeLibraryTest, WriteRefusesWhenALoadedControllerHasNoHandle)
{
    m_Scenario("badhandle");
    RunMainDialog([&](CDialog &d) {
        m_Scenario("badhandle");
        mfc::SelectItem(d.m_hWnd, IDC_PORT_LIST_BASE + 0, 0);
        mfc::Click(d.m_hWnd, IDC_BUTTON_WRITE);
        EXPECT_EQ(Calls().find("Set"), std::string::npos) << Calls();
        // Read makes no such test.
        mfc::Click(d.m_hWnd, IDC_BUTTON_READ);
        EXPECT_NE(Calls().find("Get -1 0;"), std::string::npos) << Calls();
    });
    EXPECT_EQ(MessageBoxTexts(), std::vector<std::string>{"Device wasn't load"});
}

TEST_F(FakeLibraryTest, WriteWorksWithAllControllersLoaded)
{
    // The slot after the last controller is never loaded; it is not a
    // reason to refuse.
    m_Scenario("zeroports");
    RunMainDialog([&](CDialog &d) {
        m_Scenario("zeroports");
        mfc::Click(d.m_hWnd, IDC_BUTTON_WRITE);
    });
    EXPECT_TRUE(MessageBoxTexts().empty());
    // A controller without ports is stepped over: ports 2 and 3 are the
    // third controller's 0 and 1.
    EXPECT_EQ(Calls(), "Set 100 0 2;Set 100 1 2;Set 102 0 2;Set 102 1 2;Unload;");
}

TEST_F(FakeLibraryTest, ModesOutOfRangeLeaveNoSelection)
{
    m_Scenario("badmode");
    RunMainDialog([&](CDialog &d) {
        EXPECT_EQ(Selection(d, 0), -1); // mode 7
        EXPECT_EQ(Selection(d, 1), -1); // the query failed
        m_Scenario("badmode");
        mfc::Click(d.m_hWnd, IDC_BUTTON_WRITE);
        EXPECT_EQ(Calls(), "Set 100 0 -1;Set 100 1 -1;");
    });
}

TEST_F(FakeLibraryTest, NegativeCountIsNoController)
{
    m_Scenario("negative");
    RunMainDialog([&](CDialog &d) { EXPECT_EQ(mfc::FindChild(d.m_hWnd, IDC_PORT_LIST_BASE), nullptr); });
    EXPECT_EQ(MessageBoxTexts(), std::vector<std::string>{"Can't find any KV50x UART Controllers"});
}

} // namespace
