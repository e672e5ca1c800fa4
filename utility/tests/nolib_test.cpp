// The utility where neither the controller library nor the script host can
// be found: this program's folder holds neither.
#include "support.h"

#include "PortDiscovery.h"
#include "resource.h"

namespace {

class NoLibraryTest : public utiltest::UtilityFixture {
protected:
    // Keeps the loader and the shell from finding them elsewhere.
    utiltest::ScopedEnv m_Path{"PATH", "/nonexistent"};
    utiltest::ScopedEnv m_LibraryPath{"LD_LIBRARY_PATH", nullptr};
};

TEST_F(NoLibraryTest, MessageBoxAndAnEmptyDialog)
{
    ASSERT_EQ(LoadLibraryA("VESKARDIN.DLL"), nullptr) << "a VESKARDIN library is reachable from this test";
    bool ran = false;
    RunMainDialog([&](CDialog &d) {
        ran = true;
        EXPECT_EQ(mfc::FindChild(d.m_hWnd, IDC_PORT_LABEL_BASE), nullptr);
        mfc::Window *w = d.Model();
        EXPECT_EQ(w->rect.right - w->rect.left, 437);
        EXPECT_EQ(w->rect.bottom - w->rect.top, 221);
        size_t controls = w->children.size();
        mfc::Click(d.m_hWnd, IDC_BUTTON_READ);
        mfc::Click(d.m_hWnd, IDC_BUTTON_WRITE);
        EXPECT_EQ(w->children.size(), controls);
    });
    EXPECT_TRUE(ran);
    EXPECT_EQ(MessageBoxTexts(),
              (std::vector<std::string>{"Can't find any KV50x UART Controllers", "Device wasn't load"}));
    // Nothing was looked up, so no function is reported missing.
    EXPECT_EQ(m_Trace.find("Failed to load"), std::string::npos) << m_Trace;
}

TEST_F(NoLibraryTest, DiscoveryWithoutAScriptHost)
{
    int table[MAX_PORT_TABLE];
    DiscoverComPorts(table);
    for (int i = 0; i < MAX_PORT_TABLE; ++i)
        ASSERT_EQ(table[i], -1) << i;
    EXPECT_FALSE(utiltest::Exists("DeviceQuery.vbs"));
    EXPECT_FALSE(utiltest::Exists("DeviceList.txt"));
}

} // namespace
