// The application object of VESKARDINApp.
#pragma once

#include <afxwin.h>

class CVESKARDINApp : public CWinApp {
public:
    CVESKARDINApp();
    BOOL InitInstance() override;
};

// The program's resources: dialogs 100 and 102, string 101, icon 128.
const AFX_RESOURCE_TABLE &VESKARDINAppResources();
