// The headless backend.
#include <afxwin.h>
#include "mfc/headless.h"

namespace {

int FirstButton(UINT type)
{
    switch (type & MB_TYPEMASK) {
    case MB_YESNO:
        return IDYES;
    default:
        return IDOK;
    }
}

class Headless : public mfc::Backend {
public:
    void RunModal(mfc::Window *dialog) override
    {
        if (m_Handler && dialog->owner != nullptr) {
            // A copy: the handler may replace itself while it runs.
            mfc::headless::ModalHandler handler = m_Handler;
            handler(*static_cast<CDialog *>(dialog->owner));
        }
        if (!dialog->modalEnded) {
            dialog->modalEnded = true;
            dialog->modalResult = IDCANCEL;
        }
    }

    int MessageBox(mfc::Window *owner, const std::string &text, const std::string &caption, UINT type) override
    {
        mfc::headless::MessageBoxRecord record;
        record.text = text;
        record.caption = caption;
        record.type = type;
        for (mfc::Window *w = owner; w != nullptr; w = w->parent)
            if (w->kind == mfc::WindowKind::Dialog) {
                record.ownerTemplate = w->templateId;
                break;
            }
        m_Boxes.push_back(record);
        return FirstButton(type);
    }

    mfc::headless::ModalHandler m_Handler;
    std::vector<mfc::headless::MessageBoxRecord> m_Boxes;
};

Headless &Instance()
{
    static Headless backend;
    return backend;
}

} // namespace

namespace mfc {

Backend *HeadlessBackend()
{
    return &Instance();
}

namespace headless {

void Install()
{
    SetBackend(&Instance());
    Instance().m_Handler = nullptr;
    Instance().m_Boxes.clear();
}

void SetModalHandler(ModalHandler handler)
{
    Instance().m_Handler = std::move(handler);
}

std::vector<MessageBoxRecord> MessageBoxes()
{
    return Instance().m_Boxes;
}

void ClearMessageBoxes()
{
    Instance().m_Boxes.clear();
}

} // namespace headless
} // namespace mfc
