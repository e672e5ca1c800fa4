/*
 * The headless backend: windows exist only as the model. A modal dialog
 * runs the modal handler once (the handler plays the user: it reads the
 * controls, clicks, and ends the dialog); a dialog still open after the
 * handler returns is closed with IDCANCEL. Message boxes are recorded and
 * answered with their first button.
 */
#pragma once

#include <afxwin.h>

#include <functional>
#include <string>
#include <vector>

namespace mfc::headless {

struct MessageBoxRecord {
    std::string text;
    std::string caption;
    UINT type = 0;
    int ownerTemplate = 0; // the template id of the owning dialog, 0 for none
};

using ModalHandler = std::function<void(CDialog &dialog)>;

// Makes the headless backend current and forgets handler and records.
void Install();
void SetModalHandler(ModalHandler handler);
std::vector<MessageBoxRecord> MessageBoxes();
void ClearMessageBoxes();

} // namespace mfc::headless
