#include "VESKARDINApp.h"

#include "VESKARDINAppDlg.h"

CVESKARDINApp::CVESKARDINApp() : CWinApp("VESKARDINApp")
{
    AfxSetResourceTable(&VESKARDINAppResources());
}

BOOL CVESKARDINApp::InitInstance()
{
    AfxEnableControlContainer();
    Enable3dControls();

    CVESKARDINAppDlg dlg;
    m_pMainWnd = &dlg;
    dlg.DoModal();
    m_pMainWnd = nullptr;

    // The dialog has closed: end the application instead of starting its
    // message pump.
    return FALSE;
}

CVESKARDINApp theApp;
