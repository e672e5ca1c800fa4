/*
 * The MFC subset of this layer: strings, the application object, windows
 * with message maps, modal dialogs from templates, static texts, buttons,
 * combo boxes, menus, paint contexts, message boxes and the debug trace.
 * Texts are UTF-8 (an ANSI build whose code page is UTF-8).
 */
#pragma once

#include <windows.h>

#include "mfc/resources.h"
#include "mfc/window.h"

#include <stdarg.h>

#include <string>

#define AFX_MSG_CALL
#define PASCAL
#define afx_msg
#define AFXAPI
#define DEBUG_NEW new

#define IDC_STATIC (-1)
#define AFX_IDS_APP_TITLE 0xE000

#ifndef ASSERT
#define ASSERT(f) ((f) ? (void)0 : AfxAssertFailed(#f, __FILE__, __LINE__))
#endif
#define VERIFY(f) ASSERT(f)
#define TRACE AfxTrace
#define TRACE0(s) AfxTrace("%s", s)

void AfxAssertFailed(const char *expression, const char *file, int line);

// Debug output: each call formats one piece of text (printf rules) and hands
// it to the debug listener, by default standard error.
void AfxTrace(const char *format, ...) __attribute__((format(printf, 1, 2)));

//////////////////////////////////////////////////////////////////////////////
// Strings

class CString {
public:
    CString() = default;
    CString(const char *text) : m_Text(text != nullptr ? text : "") {}
    CString(const std::string &text) : m_Text(text) {}

    operator LPCTSTR() const { return m_Text.c_str(); }
    const std::string &Str() const { return m_Text; }
    int GetLength() const { return static_cast<int>(m_Text.size()); }
    BOOL IsEmpty() const { return m_Text.empty(); }
    void Empty() { m_Text.clear(); }

    // Loads string resource id; FALSE (and empty) when there is none.
    BOOL LoadString(UINT id);
    void Format(LPCTSTR format, ...) __attribute__((format(printf, 2, 3)));
    void FormatV(LPCTSTR format, va_list args);

    CString &operator=(const char *text) { m_Text = text != nullptr ? text : ""; return *this; }
    CString &operator+=(const CString &other) { m_Text += other.m_Text; return *this; }
    friend CString operator+(const CString &a, const CString &b) { return CString(a.m_Text + b.m_Text); }
    friend bool operator==(const CString &a, const CString &b) { return a.m_Text == b.m_Text; }
    friend bool operator==(const CString &a, const char *b) { return a.m_Text == (b != nullptr ? b : ""); }

private:
    std::string m_Text;
};

//////////////////////////////////////////////////////////////////////////////
// Geometry

class CRect : public RECT {
public:
    CRect() { left = top = right = bottom = 0; }
    CRect(int l, int t, int r, int b) { left = l; top = t; right = r; bottom = b; }
    CRect(const RECT &r) : RECT(r) {}
    int Width() const { return right - left; }
    int Height() const { return bottom - top; }
    operator LPRECT() { return this; }
    operator LPCRECT() const { return this; }
    friend bool operator==(const CRect &a, const CRect &b)
    {
        return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
    }
};

//////////////////////////////////////////////////////////////////////////////
// Message maps

class CCmdTarget;
class CWnd;
typedef void (CCmdTarget::*AFX_PMSG)(void);

enum AfxSig : UINT_PTR {
    AfxSig_end = 0,
    AfxSig_vv,   // void (CWnd::*)()               WM_PAINT, WM_DESTROY
    AfxSig_vwl,  // void (CWnd::*)(UINT, LPARAM)   WM_SYSCOMMAND
    AfxSig_hv,   // HCURSOR (CWnd::*)()            WM_QUERYDRAGICON
    AfxSig_cmd,  // void (CCmdTarget::*)()          WM_COMMAND handlers
};

struct AFX_MSGMAP_ENTRY {
    UINT nMessage;
    UINT nCode;
    UINT nID;
    UINT nLastID;
    UINT_PTR nSig;
    AFX_PMSG pfn;
};

struct AFX_MSGMAP {
    const AFX_MSGMAP *(*pfnGetBaseMap)();
    const AFX_MSGMAP_ENTRY *lpEntries;
};

#define DECLARE_MESSAGE_MAP()                                  \
protected:                                                     \
    static const AFX_MSGMAP *GetThisMessageMap();              \
    const AFX_MSGMAP *GetMessageMap() const override;          \
                                                               \
public:

#define BEGIN_MESSAGE_MAP(theClass, baseClass)                                       \
    const AFX_MSGMAP *theClass::GetMessageMap() const { return GetThisMessageMap(); } \
    const AFX_MSGMAP *theClass::GetThisMessageMap()                                  \
    {                                                                                \
        typedef theClass ThisClass;                                                  \
        typedef baseClass TheBaseClass;                                              \
        (void)sizeof(ThisClass);                                                     \
        static const AFX_MSGMAP_ENTRY _messageEntries[] = {

#define END_MESSAGE_MAP()                                                          \
        {0, 0, 0, 0, AfxSig_end, (AFX_PMSG)0}                                      \
    };                                                                             \
    static const AFX_MSGMAP messageMap = {&TheBaseClass::GetThisMessageMap, &_messageEntries[0]}; \
    return &messageMap;                                                            \
    }

// Handlers of every signature share one pointer type in the tables; each is
// cast back to its own signature before it is called.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wcast-function-type"
template <class T>
inline AFX_PMSG AfxToPmsg(T fn)
{
    return reinterpret_cast<AFX_PMSG>(fn);
}
template <class T>
inline T AfxFromPmsg(AFX_PMSG fn)
{
    return reinterpret_cast<T>(fn);
}
#pragma GCC diagnostic pop

#define AFX_WND_PMSG(type, fn) AfxToPmsg(static_cast<type>(fn))

#define ON_WM_PAINT() \
    {WM_PAINT, 0, 0, 0, AfxSig_vv, AFX_WND_PMSG(void (CWnd::*)(void), &ThisClass::OnPaint)},
#define ON_WM_DESTROY() \
    {WM_DESTROY, 0, 0, 0, AfxSig_vv, AFX_WND_PMSG(void (CWnd::*)(void), &ThisClass::OnDestroy)},
#define ON_WM_SYSCOMMAND() \
    {WM_SYSCOMMAND, 0, 0, 0, AfxSig_vwl, AFX_WND_PMSG(void (CWnd::*)(UINT, LPARAM), &ThisClass::OnSysCommand)},
#define ON_WM_QUERYDRAGICON() \
    {WM_QUERYDRAGICON, 0, 0, 0, AfxSig_hv, AFX_WND_PMSG(HCURSOR (CWnd::*)(void), &ThisClass::OnQueryDragIcon)},
#define ON_COMMAND(id, memberFxn) \
    {WM_COMMAND, 0, (UINT)(id), (UINT)(id), AfxSig_cmd, AFX_WND_PMSG(void (CCmdTarget::*)(void), &ThisClass::memberFxn)},
#define ON_BN_CLICKED(id, memberFxn) \
    {WM_COMMAND, BN_CLICKED, (UINT)(id), (UINT)(id), AfxSig_cmd, AFX_WND_PMSG(void (CCmdTarget::*)(void), &ThisClass::memberFxn)},
#define ON_CBN_SELCHANGE(id, memberFxn) \
    {WM_COMMAND, CBN_SELCHANGE, (UINT)(id), (UINT)(id), AfxSig_cmd, AFX_WND_PMSG(void (CCmdTarget::*)(void), &ThisClass::memberFxn)},

class CCmdTarget {
public:
    CCmdTarget() = default;
    virtual ~CCmdTarget() = default;
    CCmdTarget(const CCmdTarget &) = delete;
    CCmdTarget &operator=(const CCmdTarget &) = delete;

protected:
    static const AFX_MSGMAP *GetThisMessageMap();
    virtual const AFX_MSGMAP *GetMessageMap() const;
};

//////////////////////////////////////////////////////////////////////////////
// Menus and paint contexts

class CMenu {
public:
    explicit CMenu(mfc::Menu *menu = nullptr) : m_Menu(menu) {}
    BOOL AppendMenu(UINT flags, UINT_PTR id = 0, LPCTSTR text = nullptr);
    UINT GetMenuItemCount() const;
    UINT GetMenuItemID(int position) const; // 0 for a separator, -1 past the end
    int GetMenuString(UINT position, CString &text, UINT flags) const;
    mfc::Menu *Model() const { return m_Menu; }

private:
    mfc::Menu *m_Menu;
};

class CDC {
public:
    HDC GetSafeHdc() const { return m_hDC; }
    BOOL DrawIcon(int x, int y, HICON icon);

protected:
    CDC() = default;
    HDC m_hDC = nullptr;
    mfc::Window *m_Target = nullptr;
};

class CPaintDC : public CDC {
public:
    explicit CPaintDC(CWnd *wnd);
    ~CPaintDC();

private:
    CWnd *m_Wnd;
};

//////////////////////////////////////////////////////////////////////////////
// Windows

class CWnd : public CCmdTarget {
public:
    CWnd();
    ~CWnd() override;

    HWND m_hWnd = nullptr;
    HWND GetSafeHwnd() const { return m_hWnd; }
    mfc::Window *Model() const { return mfc::FromHwnd(m_hWnd); }

    // The object for a window: its owner, or a plain CWnd kept with it.
    static CWnd *FromHandle(HWND hwnd);

    LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0);
    virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    virtual BOOL DestroyWindow();

    CWnd *GetDlgItem(int id) const; // the first child with that id
    int GetDlgCtrlID() const;
    CWnd *GetParent() const;

    void MoveWindow(int x, int y, int width, int height, BOOL repaint = TRUE);
    void MoveWindow(LPCRECT rect, BOOL repaint = TRUE);
    void GetWindowRect(LPRECT rect) const; // screen coordinates
    void GetClientRect(LPRECT rect) const;
    void SetWindowText(LPCTSTR text);
    void GetWindowText(CString &text) const;
    BOOL ShowWindow(int command);
    BOOL IsIconic() const;
    BOOL IsWindowVisible() const;
    BOOL EnableWindow(BOOL enable = TRUE);
    BOOL IsWindowEnabled() const;

    CMenu *GetSystemMenu(BOOL revert);
    HICON SetIcon(HICON icon, BOOL bigIcon);
    HICON GetIcon(BOOL bigIcon) const;

    int MessageBox(LPCTSTR text, LPCTSTR caption = nullptr, UINT type = MB_OK);

    // Default handlers: they run the window's default processing.
    afx_msg void OnPaint();
    afx_msg void OnDestroy();
    afx_msg void OnSysCommand(UINT id, LPARAM lParam);
    afx_msg HCURSOR OnQueryDragIcon();

protected:
    static const AFX_MSGMAP *GetThisMessageMap();
    const AFX_MSGMAP *GetMessageMap() const override;

    // Creates a child control of parent with a window of this object.
    BOOL CreateControl(mfc::WindowKind kind, LPCTSTR text, DWORD style, const RECT &rect, CWnd *parent, UINT id);
    void Attach(mfc::Window *window);
    mfc::Window *Detach();

    LRESULT Default();
    virtual LRESULT DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    virtual BOOL OnCommand(WPARAM wParam, LPARAM lParam);
    BOOL OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT *result);

    friend class CDialog;
    friend void AfxDestroyWindowTree(mfc::Window *window);

private:
    struct CurrentMessage {
        UINT message;
        WPARAM wParam;
        LPARAM lParam;
    };
    CurrentMessage m_Current = {0, 0, 0};
    CMenu m_SystemMenu;
};

class CStatic : public CWnd {
public:
    BOOL Create(LPCTSTR text, DWORD style, const RECT &rect, CWnd *parent, UINT id = 0xffff);
};

class CButton : public CWnd {
public:
    BOOL Create(LPCTSTR text, DWORD style, const RECT &rect, CWnd *parent, UINT id);
};

class CComboBox : public CWnd {
public:
    BOOL Create(DWORD style, const RECT &rect, CWnd *parent, UINT id);
    int AddString(LPCTSTR text); // appends (no CBS_SORT support); the index
    int GetCount() const;
    int GetCurSel() const;
    // An index outside the list clears the selection and gives CB_ERR.
    int SetCurSel(int index);
    int GetLBText(int index, CString &text) const;
    void ResetContent();
};

class CDataExchange {
public:
    BOOL m_bSaveAndValidate = FALSE;
    CWnd *m_pDlgWnd = nullptr;
};

class CDialog : public CWnd {
public:
    explicit CDialog(UINT templateId, CWnd *parent = nullptr);
    ~CDialog() override;

    virtual INT_PTR DoModal();
    virtual BOOL OnInitDialog();
    void EndDialog(int result);
    void MapDialogRect(LPRECT rect) const;
    UINT TemplateId() const { return m_nIDTemplate; }

protected:
    virtual void DoDataExchange(CDataExchange *dx);
    virtual void OnOK();
    virtual void OnCancel();
    BOOL UpdateData(BOOL saveAndValidate = TRUE);

    static const AFX_MSGMAP *GetThisMessageMap();
    const AFX_MSGMAP *GetMessageMap() const override;
    LRESULT DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

    UINT m_nIDTemplate;
    CWnd *m_pParentWnd;

private:
    void OnOKCommand() { OnOK(); }
    void OnCancelCommand() { OnCancel(); }
};

//////////////////////////////////////////////////////////////////////////////
// The application

class CWinApp : public CCmdTarget {
public:
    explicit CWinApp(LPCTSTR appName = nullptr);
    ~CWinApp() override;

    virtual BOOL InitInstance();
    virtual int ExitInstance();
    // Runs InitInstance and ExitInstance; the program's exit code.
    virtual int Run();

    HICON LoadIcon(UINT id) const;
    BOOL Enable3dControls() { return TRUE; }
    BOOL Enable3dControlsStatic() { return TRUE; }

    CWnd *m_pMainWnd = nullptr;
    LPCTSTR m_pszAppName = nullptr;

private:
    std::string m_AppName;
};

CWinApp *AfxGetApp();
LPCTSTR AfxGetAppName();
BOOL AfxEnableControlContainer();
int AfxMessageBox(LPCTSTR text, UINT type = MB_OK, UINT helpId = 0);
int AfxMessageBox(UINT stringId, UINT type = MB_OK, UINT helpId = 0);
