// The application object, message boxes and the backend registry.
#include <afxwin.h>
#include "mfc/headless.h"

#include <string.h>
#include <unistd.h>

namespace {

CWinApp *g_App = nullptr;
mfc::Backend *g_Backend = nullptr;

std::string ExecutableStem()
{
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (n <= 0)
        return "MFC";
    path[n] = '\0';
    const char *slash = strrchr(path, '/');
    std::string name = slash != nullptr ? slash + 1 : path;
    size_t dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0)
        name.resize(dot);
    return name;
}

} // namespace

namespace mfc {

mfc::Backend *HeadlessBackend(); // headless.cpp

void SetBackend(Backend *backend)
{
    g_Backend = backend;
}

Backend *CurrentBackend()
{
    return g_Backend != nullptr ? g_Backend : HeadlessBackend();
}

} // namespace mfc

CWinApp::CWinApp(LPCTSTR appName)
{
    m_AppName = appName != nullptr ? appName : ExecutableStem();
    m_pszAppName = m_AppName.c_str();
    g_App = this;
}

CWinApp::~CWinApp()
{
    if (g_App == this)
        g_App = nullptr;
}

BOOL CWinApp::InitInstance()
{
    return TRUE;
}

int CWinApp::ExitInstance()
{
    return 0;
}

int CWinApp::Run()
{
    InitInstance();
    return ExitInstance();
}

HICON CWinApp::LoadIcon(UINT id) const
{
    return reinterpret_cast<HICON>(const_cast<AFX_ICONRES *>(AfxFindIcon(static_cast<int>(id))));
}

CWinApp *AfxGetApp()
{
    return g_App;
}

LPCTSTR AfxGetAppName()
{
    if (g_App != nullptr && g_App->m_pszAppName != nullptr)
        return g_App->m_pszAppName;
    if (const char *title = AfxFindString(AFX_IDS_APP_TITLE))
        return title;
    static const std::string stem = ExecutableStem();
    return stem.c_str();
}

BOOL AfxEnableControlContainer()
{
    return TRUE;
}

int AfxMessageBox(LPCTSTR text, UINT type, UINT)
{
    CWnd *main = g_App != nullptr ? g_App->m_pMainWnd : nullptr;
    mfc::Window *owner = main != nullptr ? main->Model() : nullptr;
    return mfc::CurrentBackend()->MessageBox(owner, text != nullptr ? text : "", AfxGetAppName(), type);
}

int AfxMessageBox(UINT stringId, UINT type, UINT helpId)
{
    CString text;
    text.LoadString(stringId);
    return AfxMessageBox(text, type, helpId);
}
