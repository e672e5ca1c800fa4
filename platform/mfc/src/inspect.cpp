// Input and inspection of the window model.
#include <afxwin.h>
#include "mfc/inspect.h"

#include <stdio.h>

namespace mfc {

Window *FindChild(HWND dialog, int id)
{
    Window *w = FromHwnd(dialog);
    if (w == nullptr)
        return nullptr;
    int wanted = static_cast<int>(static_cast<short>(id & 0xffff));
    for (Window *child : w->children)
        if (child->id == wanted)
            return child;
    return nullptr;
}

void Click(HWND dialog, int id)
{
    Window *button = FindChild(dialog, id);
    CWnd *target = CWnd::FromHandle(dialog);
    if (target == nullptr)
        return;
    target->SendMessage(WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(ToHwnd(button)));
}

void SelectItem(HWND dialog, int comboId, int index)
{
    Window *combo = FindChild(dialog, comboId);
    if (combo == nullptr || combo->kind != WindowKind::ComboBox)
        return;
    static_cast<CComboBox *>(CWnd::FromHandle(ToHwnd(combo)))->SetCurSel(index);
    CWnd::FromHandle(dialog)->SendMessage(WM_COMMAND, MAKEWPARAM(comboId, CBN_SELCHANGE),
                                          reinterpret_cast<LPARAM>(ToHwnd(combo)));
}

void SysCommand(HWND window, UINT command)
{
    CWnd *target = CWnd::FromHandle(window);
    if (target != nullptr)
        target->SendMessage(WM_SYSCOMMAND, command, 0);
}

namespace {

const char *KindName(WindowKind kind)
{
    switch (kind) {
    case WindowKind::Dialog:
        return "dialog";
    case WindowKind::Static:
        return "static";
    case WindowKind::Icon:
        return "icon";
    case WindowKind::Button:
        return "button";
    case WindowKind::GroupBox:
        return "group";
    case WindowKind::ComboBox:
        return "combo";
    }
    return "?";
}

void DescribeInto(const Window *w, int depth, std::string &out)
{
    char line[256];
    snprintf(line, sizeof(line), "%*s%s %d \"", depth * 2, "", KindName(w->kind),
             w->kind == WindowKind::Dialog ? w->templateId : w->id);
    out += line;
    out += w->text;
    snprintf(line, sizeof(line), "\" (%d, %d)-(%d, %d)", static_cast<int>(w->rect.left),
             static_cast<int>(w->rect.top), static_cast<int>(w->rect.right), static_cast<int>(w->rect.bottom));
    out += line;
    if (w->kind == WindowKind::ComboBox) {
        out += " [";
        for (size_t i = 0; i < w->items.size(); ++i) {
            if (i > 0)
                out += ", ";
            if (static_cast<int>(i) == w->curSel)
                out += "*";
            out += w->items[i];
        }
        out += "]";
    }
    out += "\n";
    for (const Window *child : w->children)
        DescribeInto(child, depth + 1, out);
}

} // namespace

std::string Describe(HWND window)
{
    std::string out;
    if (const Window *w = FromHwnd(window))
        DescribeInto(w, 0, out);
    return out;
}

} // namespace mfc
