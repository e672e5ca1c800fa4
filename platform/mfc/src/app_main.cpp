// The program entry for MFC programs: picks the backend and runs the
// application object.
//
//   NERAVOX_MFC_BACKEND=headless  no window: each dialog is described on
//                                 standard output and closed, message boxes
//                                 are printed
//   otherwise                     real windows on the X display (FLTK)
#include <afxwin.h>
#include "mfc/fltk.h"
#include "mfc/headless.h"
#include "mfc/inspect.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int, char **)
{
    CWinApp *app = AfxGetApp();
    if (app == nullptr) {
        fprintf(stderr, "no application object\n");
        return 1;
    }
    const char *backend = getenv("NERAVOX_MFC_BACKEND");
    if (backend != nullptr && strcmp(backend, "headless") == 0) {
        mfc::headless::Install();
        mfc::headless::SetModalHandler([](CDialog &dialog) {
            for (const auto &box : mfc::headless::MessageBoxes())
                printf("message box \"%s\": %s\n", box.caption.c_str(), box.text.c_str());
            mfc::headless::ClearMessageBoxes();
            fputs(mfc::Describe(dialog.m_hWnd).c_str(), stdout);
        });
        int rc = app->Run();
        for (const auto &box : mfc::headless::MessageBoxes())
            printf("message box \"%s\": %s\n", box.caption.c_str(), box.text.c_str());
        return rc;
    }
    if (!mfc::fltk::Install()) {
        fprintf(stderr, "%s: cannot open the X display (set DISPLAY, or NERAVOX_MFC_BACKEND=headless for a "
                        "description without windows)\n",
                AfxGetAppName());
        return 1;
    }
    return app->Run();
}
