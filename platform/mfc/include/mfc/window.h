/*
 * The window model under the MFC classes. Every HWND of this layer points to
 * a mfc::Window; the MFC classes change it, and the current backend shows
 * it (or, headless, only keeps it for inspection). All windows belong to the
 * thread that runs the program's user interface.
 */
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

class CWnd;
struct AFX_ICONRES;

namespace mfc {

enum class WindowKind { Dialog, Static, Icon, Button, GroupBox, ComboBox };

struct MenuItem {
    UINT flags = 0; // MF_STRING or MF_SEPARATOR, MF_GRAYED
    UINT id = 0;
    std::string text;
};

struct Menu {
    std::vector<MenuItem> items;
};

struct PaintRecord {
    enum Kind { DefaultPaint, IconEraseBackground, DrawIcon } kind;
    int x = 0, y = 0;
    HICON icon = nullptr;
};

struct Window {
    WindowKind kind = WindowKind::Static;
    int id = 0;
    std::string text;
    RECT rect = {0, 0, 0, 0}; // dialogs: screen; controls: parent's client area; pixels
    DWORD style = 0;
    Window *parent = nullptr;
    std::vector<Window *> children; // creation order
    CWnd *owner = nullptr;          // the CWnd attached, if any
    std::unique_ptr<CWnd> proxy;    // a plain CWnd for windows no object owns

    // Combo boxes
    std::vector<std::string> items;
    int curSel = -1;

    // Dialogs
    int templateId = 0;
    std::string fontName;
    int fontPoint = 0;
    bool minimized = false;
    HICON bigIcon = nullptr;
    HICON smallIcon = nullptr;
    std::unique_ptr<Menu> systemMenu; // present when the style has WS_SYSMENU
    bool modalEnded = false;
    INT_PTR modalResult = 0;
    std::vector<PaintRecord> paintLog;

    // Icon statics
    HICON image = nullptr;

    void *backendData = nullptr; // the backend's widget, if any

    bool Visible() const { return (style & WS_VISIBLE) != 0; }
};

inline Window *FromHwnd(HWND hwnd) { return reinterpret_cast<Window *>(hwnd); }
inline HWND ToHwnd(Window *w) { return reinterpret_cast<HWND>(w); }

// What shows the windows. The backend runs the modal loops and message
// boxes and hears about every change of the model.
class Backend {
public:
    virtual ~Backend();
    // Returns once dialog->modalEnded is set.
    virtual void RunModal(Window *dialog) = 0;
    virtual int MessageBox(Window *owner, const std::string &text, const std::string &caption, UINT type) = 0;
    virtual void Changed(Window *) {}
    virtual void Destroying(Window *) {}
};

void SetBackend(Backend *backend); // nullptr restores the headless one
Backend *CurrentBackend();

// The icon resource behind an HICON of this layer.
inline const AFX_ICONRES *IconResource(HICON icon) { return reinterpret_cast<const AFX_ICONRES *>(icon); }

} // namespace mfc
