#include <afxwin.h>
#include "mfc/headless.h"
#include "mfc/inspect.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

void PrintTo(const CRect &r, std::ostream *os)
{
    *os << "(" << r.left << ", " << r.top << ")-(" << r.right << ", " << r.bottom << ")";
}

namespace {

enum { IDD_TEST = 200, IDD_INNER = 201, IDC_GROUP = 300, IDC_GO = 301, IDC_LIST = 302, IDC_NESTED = 303, IDS_HELLO = 400 };

const AFX_DLGITEMTEMPLATE kTestItems[] = {
    {"STATIC", "notice", IDC_STATIC, WS_CHILD | WS_VISIBLE | SS_LEFT, 7, 120, 139, 8, 0},
    {"BUTTON", "Group", IDC_GROUP, WS_CHILD | WS_VISIBLE | BS_GROUPBOX, 7, 7, 277, 98, 0},
    {"BUTTON", "Go", IDC_GO, WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON, 159, 118, 50, 14, 0},
    {"BUTTON", "Nested", IDC_NESTED, WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON, 219, 118, 50, 14, 0},
};
const AFX_DLGITEMTEMPLATE kInnerItems[] = {
    {"BUTTON", "OK", IDOK, WS_CHILD | WS_VISIBLE | BS_DEFPUSHBUTTON, 10, 10, 50, 14, 0},
};
const AFX_DLGTEMPLATE kDialogs[] = {
    {IDD_TEST, "Test", "Font", 9, DEFAULT_CHARSET, true, WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME,
     0, 0, 291, 147, kTestItems, sizeof(kTestItems) / sizeof(kTestItems[0])},
    {IDD_INNER, "Inner", "Font", 8, DEFAULT_CHARSET, false, WS_POPUP | WS_CAPTION, 0, 0, 100, 40, kInnerItems, 1},
};
const AFX_STRINGRES kStrings[] = {{IDS_HELLO, "안녕"}};
const AFX_RESOURCE_TABLE kResources = {kDialogs, 2, kStrings, 1, nullptr, 0};

class TestDialog : public CDialog {
public:
    TestDialog() : CDialog(IDD_TEST) {}
    ~TestDialog() override { delete m_List; }

    std::vector<std::string> events;
    CComboBox *m_List = nullptr;

protected:
    BOOL OnInitDialog() override
    {
        CDialog::OnInitDialog();
        events.push_back("init");
        m_List = new CComboBox;
        m_List->Create(WS_CHILD | WS_VISIBLE | CBS_DROPDOWNLIST, CRect(10, 20, 90, 120), this, IDC_LIST);
        m_List->AddString("a");
        m_List->AddString("b");
        return TRUE;
    }
    afx_msg void OnGo() { events.push_back("go"); }
    afx_msg void OnNested()
    {
        CDialog inner(IDD_INNER, this);
        events.push_back("inner=" + std::to_string(inner.DoModal()));
    }
    afx_msg void OnListChange() { events.push_back("sel=" + std::to_string(m_List->GetCurSel())); }
    afx_msg void OnSysCommand(UINT id, LPARAM lParam)
    {
        if (id == 0x0010)
            events.push_back("about");
        else
            CDialog::OnSysCommand(id, lParam);
    }
    afx_msg void OnDestroy()
    {
        events.push_back("destroy");
        CDialog::OnDestroy();
    }
    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(TestDialog, CDialog)
    ON_WM_SYSCOMMAND()
    ON_WM_DESTROY()
    ON_BN_CLICKED(IDC_GO, OnGo)
    ON_BN_CLICKED(IDC_NESTED, OnNested)
    ON_CBN_SELCHANGE(IDC_LIST, OnListChange)
END_MESSAGE_MAP()

class MfcTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        mfc::headless::Install();
        AfxSetResourceTable(&kResources);
    }
    void TearDown() override { AfxSetResourceTable(nullptr); }
};

TEST_F(MfcTest, TemplateBecomesWindowsInPixels)
{
    TestDialog dlg;
    std::string description;
    mfc::headless::SetModalHandler([&](CDialog &d) {
        mfc::Window *w = d.Model();
        // 9 points: 12 pixels high, 6 wide; x * 6 / 4, y * 12 / 8.
        EXPECT_EQ(w->rect.right - w->rect.left, 437);
        EXPECT_EQ(w->rect.bottom - w->rect.top, 221);
        mfc::Window *group = mfc::FindChild(d.m_hWnd, IDC_GROUP);
        ASSERT_NE(group, nullptr);
        EXPECT_EQ(group->kind, mfc::WindowKind::GroupBox);
        EXPECT_EQ(group->rect.left, 11);
        EXPECT_EQ(group->rect.top, 11);
        EXPECT_EQ(group->rect.right, 11 + 416);
        EXPECT_EQ(group->rect.bottom, 11 + 147);
        CWnd *notice = d.GetDlgItem(IDC_STATIC);
        ASSERT_NE(notice, nullptr);
        CString text;
        notice->GetWindowText(text);
        EXPECT_EQ(text, "notice");
        EXPECT_EQ(d.GetDlgItem(0xFFFF), notice);
        EXPECT_EQ(d.GetDlgItem(999), nullptr);
        description = mfc::Describe(d.m_hWnd);
    });
    EXPECT_EQ(dlg.DoModal(), IDCANCEL); // the handler left it open
    EXPECT_NE(description.find("combo 302 \"\" (10, 20)-(90, 120) [a, b]"), std::string::npos) << description;
    EXPECT_EQ(dlg.events, (std::vector<std::string>{"init", "destroy"}));
    EXPECT_EQ(dlg.m_hWnd, nullptr);
    EXPECT_EQ(dlg.m_List->m_hWnd, nullptr); // destroyed with its parent
}

TEST_F(MfcTest, MessageMapRoutesCommandsAndDefaultsRemain)
{
    TestDialog dlg;
    mfc::headless::SetModalHandler([&](CDialog &d) {
        if (d.TemplateId() == IDD_INNER) {
            mfc::Click(d.m_hWnd, IDOK); // CDialog's own map: OnOK ends with IDOK
            return;
        }
        mfc::Click(d.m_hWnd, IDC_GO);
        mfc::Click(d.m_hWnd, 4242); // no handler: ignored
        mfc::SelectItem(d.m_hWnd, IDC_LIST, 1);
        mfc::Click(d.m_hWnd, IDC_NESTED);
        mfc::SysCommand(d.m_hWnd, 0x0010);
        mfc::SysCommand(d.m_hWnd, SC_MINIMIZE); // default path
        EXPECT_TRUE(d.IsIconic());
        mfc::SysCommand(d.m_hWnd, SC_CLOSE); // default path: WM_CLOSE -> IDCANCEL
    });
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);
    EXPECT_EQ(dlg.events,
              (std::vector<std::string>{"init", "go", "sel=1", "inner=1", "about", "destroy"}));
}

TEST_F(MfcTest, EndDialogDuringInitSkipsTheModalLoop)
{
    class Quick : public CDialog {
    public:
        Quick() : CDialog(IDD_INNER) {}
        BOOL OnInitDialog() override
        {
            EndDialog(7);
            return TRUE;
        }
    } dlg;
    bool ran = false;
    mfc::headless::SetModalHandler([&](CDialog &) { ran = true; });
    EXPECT_EQ(dlg.DoModal(), 7);
    EXPECT_FALSE(ran);
}

TEST_F(MfcTest, DialogsThatDoNotPlaceThemselvesAreCentred)
{
    class Placed : public CDialog {
    public:
        Placed() : CDialog(IDD_TEST) {}
        BOOL OnInitDialog() override
        {
            MoveWindow(500, 300, 600, 200);
            return TRUE;
        }
    } outer;
    RECT inner = {0, 0, 0, 0}, alone = {0, 0, 0, 0};
    mfc::headless::SetModalHandler([&](CDialog &d) {
        if (d.TemplateId() == IDD_INNER) {
            inner = d.Model()->rect;
            return;
        }
        EXPECT_EQ(CRect(d.Model()->rect), CRect(500, 300, 1100, 500)); // kept where it put itself
        CDialog nested(IDD_INNER);
        nested.DoModal();
    });
    outer.DoModal();
    // 100 x 40 units at 8 points (6 x 11): 150 x 55 pixels, centred on its owner.
    EXPECT_EQ(CRect(inner), CRect(725, 372, 875, 427));

    mfc::headless::SetModalHandler([&](CDialog &d) { alone = d.Model()->rect; });
    CDialog single(IDD_INNER);
    single.DoModal();
    EXPECT_EQ(CRect(alone), CRect(885, 512, 1035, 567));
}

TEST_F(MfcTest, MissingTemplateFailsDoModal)
{
    CDialog dlg(9999);
    EXPECT_EQ(dlg.DoModal(), -1);
}

TEST_F(MfcTest, ComboSelectionRules)
{
    TestDialog dlg;
    mfc::headless::SetModalHandler([&](CDialog &) {
        CComboBox *list = dlg.m_List;
        EXPECT_EQ(list->GetCurSel(), CB_ERR);
        EXPECT_EQ(list->SetCurSel(1), 1);
        EXPECT_EQ(list->GetCurSel(), 1);
        // Out of range clears the selection.
        EXPECT_EQ(list->SetCurSel(2), CB_ERR);
        EXPECT_EQ(list->GetCurSel(), CB_ERR);
        EXPECT_EQ(list->SetCurSel(1), 1);
        EXPECT_EQ(list->SetCurSel(-1), CB_ERR);
        EXPECT_EQ(list->GetCurSel(), CB_ERR);
        CString text;
        EXPECT_EQ(list->GetLBText(0, text), 1);
        EXPECT_EQ(text, "a");
        EXPECT_EQ(list->GetLBText(5, text), CB_ERR);
    });
    dlg.DoModal();
}

TEST_F(MfcTest, SystemMenuStringsAndMessageBoxes)
{
    TestDialog dlg;
    mfc::headless::SetModalHandler([&](CDialog &d) {
        CMenu *menu = d.GetSystemMenu(FALSE);
        ASSERT_NE(menu, nullptr);
        UINT before = menu->GetMenuItemCount();
        CString hello;
        EXPECT_TRUE(hello.LoadString(IDS_HELLO));
        menu->AppendMenu(MF_SEPARATOR);
        menu->AppendMenu(MF_STRING, 0x0010, hello);
        EXPECT_EQ(menu->GetMenuItemCount(), before + 2);
        EXPECT_EQ(menu->GetMenuItemID(static_cast<int>(before)), 0u);
        EXPECT_EQ(menu->GetMenuItemID(static_cast<int>(before) + 1), 0x0010u);
        CString text;
        menu->GetMenuString(0x0010, text, MF_BYCOMMAND);
        EXPECT_EQ(text, "안녕");
        EXPECT_EQ(d.MessageBox("inside", "Cap", MB_YESNO), IDYES);
    });
    dlg.DoModal();
    EXPECT_EQ(AfxMessageBox("outside"), IDOK);
    CString missing;
    EXPECT_FALSE(missing.LoadString(12345));
    EXPECT_TRUE(missing.IsEmpty());

    auto boxes = mfc::headless::MessageBoxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].text, "inside");
    EXPECT_EQ(boxes[0].caption, "Cap");
    EXPECT_EQ(boxes[0].ownerTemplate, IDD_TEST);
    EXPECT_EQ(boxes[1].text, "outside");
    EXPECT_EQ(boxes[1].caption, AfxGetAppName());
    EXPECT_EQ(boxes[1].type, static_cast<UINT>(MB_OK));
}

TEST_F(MfcTest, TraceGoesToTheListener)
{
    std::string seen;
    mfc::SetTraceListener([&](const std::string &text) { seen += text; });
    TRACE("\nPORT = %d, %s", 3, "RS232MODE");
    mfc::SetTraceListener(nullptr);
    EXPECT_EQ(seen, "\nPORT = 3, RS232MODE");
}

} // namespace
