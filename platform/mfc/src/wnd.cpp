// CCmdTarget, CWnd and the controls over the window model.
#include <afxwin.h>
#include "mfc/inspect.h"

#include <algorithm>

namespace mfc {

Backend::~Backend() = default;

} // namespace mfc

namespace {

mfc::Backend *Notify()
{
    return mfc::CurrentBackend();
}

// Control ids are WORDs; -1 (IDC_STATIC) and 0xFFFF are the same id.
int NormaliseId(UINT id)
{
    return static_cast<int>(static_cast<short>(id & 0xffff));
}

} // namespace

const AFX_MSGMAP *CCmdTarget::GetThisMessageMap()
{
    static const AFX_MSGMAP_ENTRY entries[] = {{0, 0, 0, 0, AfxSig_end, nullptr}};
    static const AFX_MSGMAP map = {nullptr, entries};
    return &map;
}

const AFX_MSGMAP *CCmdTarget::GetMessageMap() const
{
    return GetThisMessageMap();
}

BEGIN_MESSAGE_MAP(CWnd, CCmdTarget)
END_MESSAGE_MAP()

CWnd::CWnd() = default;

CWnd::~CWnd()
{
    if (m_hWnd != nullptr)
        CWnd::DestroyWindow();
}

CWnd *CWnd::FromHandle(HWND hwnd)
{
    mfc::Window *w = mfc::FromHwnd(hwnd);
    if (w == nullptr)
        return nullptr;
    if (w->owner != nullptr)
        return w->owner;
    if (!w->proxy) {
        w->proxy = std::make_unique<CWnd>();
        w->proxy->m_hWnd = hwnd;
    }
    return w->proxy.get();
}

void CWnd::Attach(mfc::Window *window)
{
    m_hWnd = mfc::ToHwnd(window);
    window->owner = this;
    if (window->systemMenu)
        m_SystemMenu = CMenu(window->systemMenu.get());
}

mfc::Window *CWnd::Detach()
{
    mfc::Window *w = Model();
    if (w != nullptr && w->owner == this)
        w->owner = nullptr;
    m_hWnd = nullptr;
    m_SystemMenu = CMenu();
    return w;
}

// Deletes a window and its children, detaching every object from them.
void AfxDestroyWindowTree(mfc::Window *window)
{
    for (mfc::Window *child : window->children) {
        child->parent = nullptr;
        AfxDestroyWindowTree(child);
    }
    window->children.clear();
    if (Notify() != nullptr)
        Notify()->Destroying(window);
    if (window->owner != nullptr)
        window->owner->Detach();
    if (window->proxy)
        window->proxy->m_hWnd = nullptr;
    delete window;
}

BOOL CWnd::DestroyWindow()
{
    mfc::Window *w = Model();
    if (w == nullptr)
        return FALSE;
    SendMessage(WM_DESTROY);
    w = Model(); // a handler may not destroy it again, but be safe
    if (w == nullptr)
        return TRUE;
    if (w->parent != nullptr) {
        auto &siblings = w->parent->children;
        siblings.erase(std::remove(siblings.begin(), siblings.end(), w), siblings.end());
        w->parent = nullptr;
    }
    AfxDestroyWindowTree(w);
    return TRUE;
}

LRESULT CWnd::SendMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    if (m_hWnd == nullptr)
        return 0;
    return WindowProc(message, wParam, lParam);
}

LRESULT CWnd::WindowProc(UINT message, WPARAM wParam, LPARAM lParam)
{
    CurrentMessage saved = m_Current;
    m_Current = {message, wParam, lParam};
    LRESULT result = 0;
    if (message == WM_COMMAND) {
        if (!OnCommand(wParam, lParam))
            result = DefWindowProc(message, wParam, lParam);
    } else if (!OnWndMsg(message, wParam, lParam, &result)) {
        result = DefWindowProc(message, wParam, lParam);
    }
    m_Current = saved;
    return result;
}

BOOL CWnd::OnCommand(WPARAM wParam, LPARAM lParam)
{
    LRESULT ignored = 0;
    return OnWndMsg(WM_COMMAND, wParam, lParam, &ignored);
}

BOOL CWnd::OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT *result)
{
    UINT code = HIWORD(wParam);
    UINT id = LOWORD(wParam);
    for (const AFX_MSGMAP *map = GetMessageMap(); map != nullptr;
         map = map->pfnGetBaseMap != nullptr ? map->pfnGetBaseMap() : nullptr) {
        for (const AFX_MSGMAP_ENTRY *e = map->lpEntries; e->nSig != AfxSig_end; ++e) {
            if (e->nMessage != message)
                continue;
            if (message == WM_COMMAND && (e->nCode != code || id < e->nID || id > e->nLastID))
                continue;
            switch (e->nSig) {
            case AfxSig_vv:
                (this->*AfxFromPmsg<void (CWnd::*)()>(e->pfn))();
                *result = 0;
                return TRUE;
            case AfxSig_vwl:
                (this->*AfxFromPmsg<void (CWnd::*)(UINT, LPARAM)>(e->pfn))(static_cast<UINT>(wParam), lParam);
                *result = 0;
                return TRUE;
            case AfxSig_hv:
                *result = reinterpret_cast<LRESULT>((this->*AfxFromPmsg<HCURSOR (CWnd::*)()>(e->pfn))());
                return TRUE;
            case AfxSig_cmd:
                (static_cast<CCmdTarget *>(this)->*AfxFromPmsg<void (CCmdTarget::*)()>(e->pfn))();
                *result = 0;
                return TRUE;
            default:
                break;
            }
        }
    }
    return FALSE;
}

LRESULT CWnd::Default()
{
    return DefWindowProc(m_Current.message, m_Current.wParam, m_Current.lParam);
}

LRESULT CWnd::DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam)
{
    mfc::Window *w = Model();
    if (w == nullptr)
        return 0;
    switch (message) {
    case WM_PAINT:
        w->paintLog.push_back({mfc::PaintRecord::DefaultPaint, 0, 0, nullptr});
        if (Notify() != nullptr)
            Notify()->Changed(w);
        return 0;
    case WM_ICONERASEBKGND:
        w->paintLog.push_back({mfc::PaintRecord::IconEraseBackground, 0, 0, nullptr});
        return 1;
    case WM_SYSCOMMAND:
        switch (wParam & 0xFFF0) {
        case SC_CLOSE:
            SendMessage(WM_CLOSE);
            break;
        case SC_MINIMIZE:
            ShowWindow(SW_MINIMIZE);
            break;
        case SC_RESTORE:
            ShowWindow(SW_RESTORE);
            break;
        default:
            break;
        }
        return 0;
    case WM_CLOSE:
        DestroyWindow();
        return 0;
    case WM_QUERYDRAGICON:
        return 0;
    default:
        return 0;
    }
}

void CWnd::OnPaint()
{
    Default();
}

void CWnd::OnDestroy()
{
    Default();
}

void CWnd::OnSysCommand(UINT, LPARAM)
{
    Default();
}

HCURSOR CWnd::OnQueryDragIcon()
{
    return reinterpret_cast<HCURSOR>(Default());
}

CWnd *CWnd::GetDlgItem(int id) const
{
    mfc::Window *w = Model();
    if (w == nullptr)
        return nullptr;
    int wanted = NormaliseId(static_cast<UINT>(id));
    for (mfc::Window *child : w->children)
        if (child->id == wanted)
            return FromHandle(mfc::ToHwnd(child));
    return nullptr;
}

int CWnd::GetDlgCtrlID() const
{
    mfc::Window *w = Model();
    return w != nullptr ? w->id : 0;
}

CWnd *CWnd::GetParent() const
{
    mfc::Window *w = Model();
    return w != nullptr && w->parent != nullptr ? FromHandle(mfc::ToHwnd(w->parent)) : nullptr;
}

void CWnd::MoveWindow(int x, int y, int width, int height, BOOL)
{
    mfc::Window *w = Model();
    if (w == nullptr)
        return;
    w->rect = {x, y, x + width, y + height};
    if (Notify() != nullptr)
        Notify()->Changed(w);
}

void CWnd::MoveWindow(LPCRECT rect, BOOL repaint)
{
    MoveWindow(rect->left, rect->top, rect->right - rect->left, rect->bottom - rect->top, repaint);
}

void CWnd::GetWindowRect(LPRECT rect) const
{
    mfc::Window *w = Model();
    if (w == nullptr)
        return;
    RECT r = w->rect;
    for (mfc::Window *p = w->parent; p != nullptr; p = p->parent) {
        r.left += p->rect.left;
        r.right += p->rect.left;
        r.top += p->rect.top;
        r.bottom += p->rect.top;
    }
    *rect = r;
}

void CWnd::GetClientRect(LPRECT rect) const
{
    // Windows of this layer have no frame of their own: the client area is
    // the whole window.
    mfc::Window *w = Model();
    if (w == nullptr)
        return;
    *rect = {0, 0, w->rect.right - w->rect.left, w->rect.bottom - w->rect.top};
}

void CWnd::SetWindowText(LPCTSTR text)
{
    mfc::Window *w = Model();
    if (w == nullptr)
        return;
    w->text = text != nullptr ? text : "";
    if (Notify() != nullptr)
        Notify()->Changed(w);
}

void CWnd::GetWindowText(CString &text) const
{
    mfc::Window *w = Model();
    text = w != nullptr ? w->text.c_str() : "";
}

BOOL CWnd::ShowWindow(int command)
{
    mfc::Window *w = Model();
    if (w == nullptr)
        return FALSE;
    BOOL wasVisible = w->Visible();
    switch (command) {
    case SW_HIDE:
        w->style &= ~static_cast<DWORD>(WS_VISIBLE);
        break;
    case SW_MINIMIZE:
    case SW_SHOWMINIMIZED:
        w->minimized = true;
        w->style |= WS_VISIBLE;
        break;
    default:
        w->minimized = false;
        w->style |= WS_VISIBLE;
        break;
    }
    if (Notify() != nullptr)
        Notify()->Changed(w);
    return wasVisible;
}

BOOL CWnd::IsIconic() const
{
    mfc::Window *w = Model();
    return w != nullptr && w->minimized;
}

BOOL CWnd::IsWindowVisible() const
{
    mfc::Window *w = Model();
    return w != nullptr && w->Visible();
}

BOOL CWnd::EnableWindow(BOOL enable)
{
    mfc::Window *w = Model();
    if (w == nullptr)
        return FALSE;
    BOOL wasDisabled = (w->style & WS_DISABLED) != 0;
    if (enable)
        w->style &= ~static_cast<DWORD>(WS_DISABLED);
    else
        w->style |= WS_DISABLED;
    if (Notify() != nullptr)
        Notify()->Changed(w);
    return wasDisabled;
}

BOOL CWnd::IsWindowEnabled() const
{
    mfc::Window *w = Model();
    return w != nullptr && !(w->style & WS_DISABLED);
}

CMenu *CWnd::GetSystemMenu(BOOL revert)
{
    mfc::Window *w = Model();
    if (w == nullptr || !w->systemMenu)
        return nullptr;
    if (revert) {
        w->systemMenu->items = {{MF_STRING, SC_MOVE, "Move"}, {MF_STRING, SC_CLOSE, "Close"}};
        return nullptr;
    }
    m_SystemMenu = CMenu(w->systemMenu.get());
    return &m_SystemMenu;
}

HICON CWnd::SetIcon(HICON icon, BOOL bigIcon)
{
    mfc::Window *w = Model();
    if (w == nullptr)
        return nullptr;
    HICON &slot = bigIcon ? w->bigIcon : w->smallIcon;
    HICON old = slot;
    slot = icon;
    if (Notify() != nullptr)
        Notify()->Changed(w);
    return old;
}

HICON CWnd::GetIcon(BOOL bigIcon) const
{
    mfc::Window *w = Model();
    return w == nullptr ? nullptr : bigIcon ? w->bigIcon : w->smallIcon;
}

int CWnd::MessageBox(LPCTSTR text, LPCTSTR caption, UINT type)
{
    return mfc::CurrentBackend()->MessageBox(Model(), text != nullptr ? text : "",
                                             caption != nullptr ? caption : AfxGetAppName(), type);
}

BOOL CWnd::CreateControl(mfc::WindowKind kind, LPCTSTR text, DWORD style, const RECT &rect, CWnd *parent, UINT id)
{
    if (m_hWnd != nullptr || parent == nullptr || parent->Model() == nullptr)
        return FALSE;
    auto *w = new mfc::Window;
    w->kind = kind;
    w->id = NormaliseId(id);
    w->text = text != nullptr ? text : "";
    w->rect = rect;
    w->style = style;
    w->parent = parent->Model();
    w->parent->children.push_back(w);
    Attach(w);
    if (Notify() != nullptr)
        Notify()->Changed(w);
    return TRUE;
}

BOOL CStatic::Create(LPCTSTR text, DWORD style, const RECT &rect, CWnd *parent, UINT id)
{
    bool icon = (style & 0x1F) == SS_ICON;
    return CreateControl(icon ? mfc::WindowKind::Icon : mfc::WindowKind::Static, text, style, rect, parent, id);
}

BOOL CButton::Create(LPCTSTR text, DWORD style, const RECT &rect, CWnd *parent, UINT id)
{
    bool group = (style & 0xF) == BS_GROUPBOX;
    return CreateControl(group ? mfc::WindowKind::GroupBox : mfc::WindowKind::Button, text, style, rect, parent, id);
}

BOOL CComboBox::Create(DWORD style, const RECT &rect, CWnd *parent, UINT id)
{
    return CreateControl(mfc::WindowKind::ComboBox, "", style, rect, parent, id);
}

int CComboBox::AddString(LPCTSTR text)
{
    mfc::Window *w = Model();
    if (w == nullptr)
        return CB_ERR;
    w->items.push_back(text != nullptr ? text : "");
    if (Notify() != nullptr)
        Notify()->Changed(w);
    return static_cast<int>(w->items.size()) - 1;
}

int CComboBox::GetCount() const
{
    mfc::Window *w = Model();
    return w != nullptr ? static_cast<int>(w->items.size()) : CB_ERR;
}

int CComboBox::GetCurSel() const
{
    mfc::Window *w = Model();
    return w != nullptr && w->curSel >= 0 ? w->curSel : CB_ERR;
}

int CComboBox::SetCurSel(int index)
{
    mfc::Window *w = Model();
    if (w == nullptr)
        return CB_ERR;
    bool valid = index >= 0 && static_cast<size_t>(index) < w->items.size();
    w->curSel = valid ? index : -1;
    if (Notify() != nullptr)
        Notify()->Changed(w);
    return valid ? index : CB_ERR;
}

int CComboBox::GetLBText(int index, CString &text) const
{
    mfc::Window *w = Model();
    if (w == nullptr || index < 0 || static_cast<size_t>(index) >= w->items.size())
        return CB_ERR;
    text = w->items[static_cast<size_t>(index)].c_str();
    return text.GetLength();
}

void CComboBox::ResetContent()
{
    mfc::Window *w = Model();
    if (w == nullptr)
        return;
    w->items.clear();
    w->curSel = -1;
    if (Notify() != nullptr)
        Notify()->Changed(w);
}
