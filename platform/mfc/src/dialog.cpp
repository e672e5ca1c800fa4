// Modal dialogs built from templates.
#include <afxwin.h>
#include "mfc/inspect.h"

#include <string.h>

#include <algorithm>
#include <vector>

BEGIN_MESSAGE_MAP(CDialog, CWnd)
    ON_COMMAND(IDOK, OnOKCommand)
    ON_COMMAND(IDCANCEL, OnCancelCommand)
END_MESSAGE_MAP()

namespace {

mfc::WindowKind KindOf(const AFX_DLGITEMTEMPLATE &item)
{
    if (strcmp(item.className, "BUTTON") == 0)
        return (item.style & 0xF) == BS_GROUPBOX ? mfc::WindowKind::GroupBox : mfc::WindowKind::Button;
    if (strcmp(item.className, "COMBOBOX") == 0)
        return mfc::WindowKind::ComboBox;
    return (item.style & 0x1F) == SS_ICON ? mfc::WindowKind::Icon : mfc::WindowKind::Static;
}

RECT DialogRect(short x, short y, short cx, short cy, SIZE units)
{
    RECT r = {MulDiv(x, units.cx, 4), MulDiv(y, units.cy, 8), 0, 0};
    r.right = r.left + MulDiv(cx, units.cx, 4);
    r.bottom = r.top + MulDiv(cy, units.cy, 8);
    return r;
}

// The dialogs whose modal loops are running, innermost last.
std::vector<CDialog *> g_ModalStack;

} // namespace

CDialog::CDialog(UINT templateId, CWnd *parent) : m_nIDTemplate(templateId), m_pParentWnd(parent) {}

CDialog::~CDialog() = default;

void CDialog::MapDialogRect(LPRECT rect) const
{
    mfc::Window *w = Model();
    SIZE units = mfc::DialogBaseUnits(w != nullptr ? w->fontPoint : 0);
    RECT r = *rect;
    rect->left = MulDiv(r.left, units.cx, 4);
    rect->right = MulDiv(r.right, units.cx, 4);
    rect->top = MulDiv(r.top, units.cy, 8);
    rect->bottom = MulDiv(r.bottom, units.cy, 8);
}

INT_PTR CDialog::DoModal()
{
    const AFX_DLGTEMPLATE *t = AfxFindDialogTemplate(static_cast<int>(m_nIDTemplate));
    if (t == nullptr || m_hWnd != nullptr) {
        AfxTrace("Warning: dialog template %u not found or dialog already open\n", m_nIDTemplate);
        return -1;
    }

    SIZE units = mfc::DialogBaseUnits(t->fontPoint);
    auto *w = new mfc::Window;
    w->kind = mfc::WindowKind::Dialog;
    w->templateId = t->id;
    w->id = 0;
    w->text = t->caption != nullptr ? t->caption : "";
    w->style = t->style;
    w->fontName = t->fontName != nullptr ? t->fontName : "";
    w->fontPoint = t->fontPoint;
    w->rect = DialogRect(t->x, t->y, t->cx, t->cy, units);
    if (t->style & WS_SYSMENU)
        w->systemMenu = std::make_unique<mfc::Menu>();
    Attach(w);
    GetSystemMenu(TRUE);

    for (size_t i = 0; i < t->itemCount; ++i) {
        const AFX_DLGITEMTEMPLATE &item = t->items[i];
        auto *c = new mfc::Window;
        c->kind = KindOf(item);
        c->id = static_cast<int>(static_cast<short>(item.id & 0xffff));
        c->text = item.text != nullptr ? item.text : "";
        c->style = item.style;
        c->rect = DialogRect(item.x, item.y, item.cx, item.cy, units);
        if (c->kind == mfc::WindowKind::Icon) {
            c->image = reinterpret_cast<HICON>(const_cast<AFX_ICONRES *>(AfxFindIcon(item.iconId)));
            int size = GetSystemMetrics(SM_CXICON);
            c->rect.right = c->rect.left + size;
            c->rect.bottom = c->rect.top + size;
        }
        c->parent = w;
        w->children.push_back(c);
    }
    if (mfc::CurrentBackend() != nullptr)
        mfc::CurrentBackend()->Changed(w);

    // The owner: the parent given, else the main window, else the dialog
    // whose loop is running.
    CWnd *owner = m_pParentWnd;
    if (owner == nullptr && AfxGetApp() != nullptr && AfxGetApp()->m_pMainWnd != this)
        owner = AfxGetApp()->m_pMainWnd;
    if ((owner == nullptr || owner->Model() == nullptr) && !g_ModalStack.empty())
        owner = g_ModalStack.back();
    RECT placed = w->rect;

    SendMessage(WM_INITDIALOG);

    // A dialog that did not place itself while it initialised is centred on
    // its owner, or on the screen.
    w = Model();
    if (w != nullptr && memcmp(&w->rect, &placed, sizeof(RECT)) == 0) {
        RECT area = {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
        if (owner != nullptr && owner->Model() != nullptr)
            area = owner->Model()->rect;
        int width = placed.right - placed.left, height = placed.bottom - placed.top;
        int x = area.left + (area.right - area.left - width) / 2;
        int y = area.top + (area.bottom - area.top - height) / 2;
        MoveWindow(x < 0 ? 0 : x, y < 0 ? 0 : y, width, height);
    }

    if (w != nullptr && !w->modalEnded) {
        g_ModalStack.push_back(this);
        mfc::CurrentBackend()->RunModal(w);
        g_ModalStack.erase(std::find(g_ModalStack.begin(), g_ModalStack.end(), this));
    }

    w = Model();
    INT_PTR result = w != nullptr ? w->modalResult : IDCANCEL;
    if (m_hWnd != nullptr)
        DestroyWindow();
    return result;
}

BOOL CDialog::OnInitDialog()
{
    UpdateData(FALSE);
    return TRUE;
}

void CDialog::EndDialog(int result)
{
    mfc::Window *w = Model();
    if (w == nullptr)
        return;
    w->modalEnded = true;
    w->modalResult = result;
    if (mfc::CurrentBackend() != nullptr)
        mfc::CurrentBackend()->Changed(w);
}

void CDialog::DoDataExchange(CDataExchange *) {}

BOOL CDialog::UpdateData(BOOL saveAndValidate)
{
    CDataExchange dx;
    dx.m_bSaveAndValidate = saveAndValidate;
    dx.m_pDlgWnd = this;
    DoDataExchange(&dx);
    return TRUE;
}

void CDialog::OnOK()
{
    if (UpdateData(TRUE))
        EndDialog(IDOK);
}

void CDialog::OnCancel()
{
    EndDialog(IDCANCEL);
}

LRESULT CDialog::DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG:
        return OnInitDialog();
    case WM_CLOSE:
        SendMessage(WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
        return 0;
    default:
        return CWnd::DefWindowProc(message, wParam, lParam);
    }
}
