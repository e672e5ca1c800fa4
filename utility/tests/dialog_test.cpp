// The main dialog against the real controller library and script host.
#include "support.h"

#include "controller/state.h"
#include "resource.h"

#include <string>
#include <vector>

namespace {

using utiltest::ControllerSpec;
using sim::controller::StateStore;

ControllerSpec Ports(unsigned count, unsigned productId = 0x2B72)
{
    return ControllerSpec{productId, std::vector<std::string>(count)};
}

std::string Text(HWND dialog, int id)
{
    mfc::Window *w = mfc::FindChild(dialog, id);
    return w != nullptr ? w->text : "<missing " + std::to_string(id) + ">";
}

int Selection(HWND dialog, int port)
{
    mfc::Window *w = mfc::FindChild(dialog, IDC_PORT_LIST_BASE + port);
    return w != nullptr ? w->curSel : -99;
}

CRect Rect(HWND dialog, int id)
{
    mfc::Window *w = mfc::FindChild(dialog, id);
    return w != nullptr ? CRect(w->rect) : CRect(-1, -1, -1, -1);
}

class DialogTest : public utiltest::UtilityFixture {
protected:
    StateStore State() { return StateStore(m_State.Path()); }
};

TEST_F(DialogTest, SixPortsOfTwoControllersInTwoRows)
{
    UseConfig({Ports(4), Ports(2, 0x2B71)});
    State().SetMode(0, 1, 0);
    State().SetMode(1, 1, 2);

    bool ran = false;
    RunMainDialog([&](CDialog &d) {
        ran = true;
        HWND h = d.m_hWnd;
        for (int i = 0; i < 6; ++i) {
            SCOPED_TRACE(i);
            int row = i / 4, c = i % 4, y = 34 + 30 * row;
            EXPECT_EQ(Text(h, IDC_PORT_LABEL_BASE + i), std::to_string(i) + ". COM" + std::to_string(5 + i));
            EXPECT_EQ(Rect(h, IDC_PORT_LABEL_BASE + i), CRect(50 + 180 * c, y, 130 + 180 * c, y + 32));
            EXPECT_EQ(Rect(h, IDC_PORT_LIST_BASE + i), CRect(130 + 180 * c, y - 4, 210 + 180 * c, y + 96));
            mfc::Window *list = mfc::FindChild(h, IDC_PORT_LIST_BASE + i);
            ASSERT_NE(list, nullptr);
            EXPECT_EQ(list->kind, mfc::WindowKind::ComboBox);
            EXPECT_EQ(list->style & 0x3u, static_cast<DWORD>(CBS_DROPDOWNLIST));
            EXPECT_EQ(list->style & static_cast<DWORD>(CBS_SORT), 0u);
            EXPECT_EQ(list->items, (std::vector<std::string>{"RS485", "RS232", "RS422"}));
        }
        EXPECT_EQ(mfc::FindChild(h, IDC_PORT_LABEL_BASE + 6), nullptr);
        // Ports 4 and 5 are ports 0 and 1 of the second controller.
        std::vector<int> modes;
        for (int i = 0; i < 6; ++i)
            modes.push_back(Selection(h, i));
        EXPECT_EQ(modes, (std::vector<int>{1, 0, 1, 1, 1, 2}));

        EXPECT_EQ(CRect(d.Model()->rect), CRect(500, 300, 500 + 787, 300 + 175));
        EXPECT_EQ(Rect(h, IDC_PORT_STATUS), CRect(10, 10, 770, 100));
        EXPECT_EQ(Rect(h, IDC_STATIC), CRect(10, 118, 410, 138));
        EXPECT_EQ(Rect(h, IDC_BUTTON_READ), CRect(250, 110, 320, 135));
        EXPECT_EQ(Rect(h, IDC_BUTTON_WRITE), CRect(320, 110, 390, 135));

        // The system menu ends with the about item; both icons are icon 128.
        CMenu *menu = d.GetSystemMenu(FALSE);
        ASSERT_NE(menu, nullptr);
        UINT n = menu->GetMenuItemCount();
        ASSERT_GE(n, 2u);
        EXPECT_EQ(menu->Model()->items[n - 2].flags, static_cast<UINT>(MF_SEPARATOR));
        EXPECT_EQ(menu->GetMenuItemID(static_cast<int>(n) - 1), static_cast<UINT>(IDM_ABOUTBOX));
        EXPECT_EQ(menu->Model()->items[n - 1].text, "VESKARDINApp 정보(&A)...");
        HICON icon = reinterpret_cast<HICON>(const_cast<AFX_ICONRES *>(AfxFindIcon(IDR_MAINFRAME)));
        EXPECT_EQ(d.GetIcon(TRUE), icon);
        EXPECT_EQ(d.GetIcon(FALSE), icon);
        EXPECT_EQ(d.SendMessage(WM_QUERYDRAGICON), reinterpret_cast<LRESULT>(icon));

        // Discovery has cleaned up after itself.
        EXPECT_FALSE(utiltest::Exists("DeviceQuery.vbs"));
        EXPECT_FALSE(utiltest::Exists("DeviceList.txt"));
    });
    EXPECT_TRUE(ran);
    EXPECT_TRUE(MessageBoxTexts().empty());
    for (int i = 0; i < 6; ++i)
        EXPECT_NE(m_Trace.find("\nPORT = " + std::to_string(i) + ", RS232MODE"), std::string::npos) << m_Trace;
}

struct LayoutCase {
    std::vector<unsigned> ports;
    int dialogHeight;
    int groupHeight;
};

TEST_F(DialogTest, EveryRowAddsThirtyPixels)
{
    const LayoutCase cases[] = {
        {{1}, 145, 60},
        {{4}, 145, 60}, // exactly four ports: one row
        {{4, 1}, 175, 90},
        {{3, 3, 3}, 205, 120},
    };
    for (const LayoutCase &c : cases) {
        std::vector<ControllerSpec> specs;
        int total = 0;
        for (unsigned n : c.ports) {
            specs.push_back(Ports(n));
            total += static_cast<int>(n);
        }
        SCOPED_TRACE(total);
        UseConfig(specs);
        RunMainDialog([&](CDialog &d) {
            EXPECT_EQ(CRect(d.Model()->rect), CRect(500, 300, 1287, 300 + c.dialogHeight));
            EXPECT_EQ(Rect(d.m_hWnd, IDC_PORT_STATUS), CRect(10, 10, 770, 10 + c.groupHeight));
            EXPECT_NE(mfc::FindChild(d.m_hWnd, IDC_PORT_LIST_BASE + total - 1), nullptr);
            EXPECT_EQ(mfc::FindChild(d.m_hWnd, IDC_PORT_LIST_BASE + total), nullptr);
        });
    }
}

TEST_F(DialogTest, WriteChangesExactlyTheSelectedPort)
{
    UseConfig({Ports(4), Ports(2)});
    State().SetMode(1, 1, 0);
    RunMainDialog([&](CDialog &d) {
        mfc::SelectItem(d.m_hWnd, IDC_PORT_LIST_BASE + 2, 2); // RS422 for port 2
        mfc::Click(d.m_hWnd, IDC_BUTTON_WRITE);
    });
    EXPECT_EQ(State().AllModes(0, 4), (std::vector<int>{1, 1, 2, 1}));
    EXPECT_EQ(State().AllModes(1, 2), (std::vector<int>{1, 0}));
    EXPECT_TRUE(MessageBoxTexts().empty());
}

TEST_F(DialogTest, ReadShowsModesChangedBehindTheUtilitysBack)
{
    UseConfig({Ports(4), Ports(2)});
    RunMainDialog([&](CDialog &d) {
        EXPECT_EQ(Selection(d.m_hWnd, 4), 1);
        State().SetMode(1, 0, 0);
        State().SetMode(0, 3, 2);
        EXPECT_EQ(Selection(d.m_hWnd, 4), 1); // nothing changes until Read
        mfc::Click(d.m_hWnd, IDC_BUTTON_READ);
        EXPECT_EQ(Selection(d.m_hWnd, 4), 0);
        EXPECT_EQ(Selection(d.m_hWnd, 3), 2);
        EXPECT_EQ(Selection(d.m_hWnd, 0), 1);
    });
}

TEST_F(DialogTest, NoControllerGivesTheMessageBoxAndAnEmptyDialog)
{
    // A configuration that does not load leaves the library with no controller.
    UseConfigText("{ \"controllers\": [] }");
    RunMainDialog([&](CDialog &d) {
        EXPECT_EQ(mfc::FindChild(d.m_hWnd, IDC_PORT_LABEL_BASE), nullptr);
        EXPECT_EQ(mfc::FindChild(d.m_hWnd, IDC_PORT_LIST_BASE), nullptr);
        // The resource layout stays: 291 x 147 dialog units.
        mfc::Window *w = d.Model();
        EXPECT_EQ(w->rect.right - w->rect.left, 437);
        EXPECT_EQ(w->rect.bottom - w->rect.top, 221);
        mfc::Click(d.m_hWnd, IDC_BUTTON_READ);
        mfc::Click(d.m_hWnd, IDC_BUTTON_WRITE);
    });
    auto boxes = mfc::headless::MessageBoxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].text, "Can't find any KV50x UART Controllers");
    EXPECT_EQ(boxes[0].type, static_cast<UINT>(MB_OK));
    EXPECT_EQ(boxes[1].text, "Device wasn't load");
    EXPECT_EQ(boxes[1].type, static_cast<UINT>(MB_OK));
    EXPECT_FALSE(utiltest::Exists(m_State.File("port-modes.json")));
}

TEST_F(DialogTest, AboutBoxFromTheSystemMenu)
{
    UseConfig({Ports(2)});
    int abouts = 0;
    RunMainDialog([&](CDialog &d) {
        if (d.TemplateId() == IDD_ABOUTBOX) {
            ++abouts;
            HWND h = d.m_hWnd;
            EXPECT_EQ(d.Model()->text, "VESKARDINApp 정보");
            EXPECT_EQ(d.Model()->fontName, "굴림");
            // 235 x 55 dialog units.
            EXPECT_EQ(d.Model()->rect.right - d.Model()->rect.left, 353);
            EXPECT_EQ(d.Model()->rect.bottom - d.Model()->rect.top, 83);
            ASSERT_FALSE(d.Model()->children.empty());
            mfc::Window *icon = d.Model()->children[0];
            EXPECT_EQ(icon->kind, mfc::WindowKind::Icon);
            EXPECT_EQ(icon->image, reinterpret_cast<HICON>(const_cast<AFX_ICONRES *>(AfxFindIcon(IDR_MAINFRAME))));
            EXPECT_EQ(d.Model()->children[1]->text, "VESKARDINApp 버전 1.0");
            EXPECT_EQ(Text(h, IDOK), "확인");
            mfc::Click(h, IDOK);
            return;
        }
        mfc::SysCommand(d.m_hWnd, IDM_ABOUTBOX);
        mfc::SysCommand(d.m_hWnd, IDM_ABOUTBOX | 0x3); // the low bits are masked
        EXPECT_EQ(abouts, 2);
        // Other commands take the default path.
        mfc::SysCommand(d.m_hWnd, SC_MINIMIZE);
        EXPECT_TRUE(d.IsIconic());
        d.Model()->paintLog.clear();
        d.SendMessage(WM_PAINT);
        const auto &log = d.Model()->paintLog;
        ASSERT_EQ(log.size(), 2u);
        EXPECT_EQ(log[0].kind, mfc::PaintRecord::IconEraseBackground);
        EXPECT_EQ(log[1].kind, mfc::PaintRecord::DrawIcon);
        EXPECT_EQ(log[1].x, (787 - 32 + 1) / 2);
        EXPECT_EQ(log[1].y, (145 - 32 + 1) / 2);
        mfc::SysCommand(d.m_hWnd, SC_RESTORE);
        d.Model()->paintLog.clear();
        d.SendMessage(WM_PAINT);
        ASSERT_EQ(log.size(), 1u);
        EXPECT_EQ(log[0].kind, mfc::PaintRecord::DefaultPaint);
        mfc::SysCommand(d.m_hWnd, SC_CLOSE);
        EXPECT_TRUE(d.Model()->modalEnded);
    });
    EXPECT_EQ(abouts, 2);
}

} // namespace
