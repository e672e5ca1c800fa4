/*
 * Driving and reading the window model from outside the program's own
 * code: what a user's clicks do, and a description of what is shown. The
 * real-window backend uses the same calls for the user's input.
 */
#pragma once

#include <afxwin.h>

#include <functional>
#include <string>

namespace mfc {

// A click on button id: BN_CLICKED to its dialog.
void Click(HWND dialog, int id);
// Picks item index in combo box id and notifies its dialog (CBN_SELCHANGE).
void SelectItem(HWND dialog, int comboId, int index);
// A system-menu command, as WM_SYSCOMMAND.
void SysCommand(HWND window, UINT command);

// The first child with that id, or nullptr.
Window *FindChild(HWND dialog, int id);

// One line per window: kind, id, text, rectangle, and for combo boxes the
// items and the selection; children indented.
std::string Describe(HWND window);

// Where the debug trace goes; an empty listener restores standard error.
void SetTraceListener(std::function<void(const std::string &)> listener);

// Dialog base units of a template font: the average character width and
// the character height in pixels.
SIZE DialogBaseUnits(int fontPoint);

} // namespace mfc
