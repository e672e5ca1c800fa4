// The real-window backend on FLTK.
#include <afxwin.h>
#include "mfc/fltk.h"
#include "mfc/inspect.h"

#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Choice.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Menu_Button.H>
#include <FL/Fl_Pixmap.H>
#include <FL/Fl_RGB_Image.H>
#include <FL/fl_ask.H>
#include <FL/fl_draw.H>
#include <FL/x.H>
#ifdef MFC_HAVE_FONTCONFIG
#include <fontconfig/fontconfig.h>
#endif

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

const char kFallbackFamily[] = "NanumGothic";

// Pixels at 96 dots per inch.
int PointsToPixels(int points)
{
    return MulDiv(points > 0 ? points : 8, 96, 72);
}

// True when fontconfig has a font of that family (under any of its names).
bool FamilyInstalled(const std::string &family)
{
#ifndef MFC_HAVE_FONTCONFIG
    return family == kFallbackFamily;
#else
    if (family.empty())
        return false;
    FcPattern *pattern = FcPatternCreate();
    FcPatternAddString(pattern, FC_FAMILY, reinterpret_cast<const FcChar8 *>(family.c_str()));
    FcConfigSubstitute(nullptr, pattern, FcMatchPattern);
    FcDefaultSubstitute(pattern);
    FcResult result;
    FcPattern *match = FcFontMatch(nullptr, pattern, &result);
    bool found = false;
    if (match != nullptr) {
        FcChar8 *name = nullptr;
        for (int i = 0; !found && FcPatternGetString(match, FC_FAMILY, i, &name) == FcResultMatch; ++i)
            found = strcasecmp(reinterpret_cast<const char *>(name), family.c_str()) == 0;
        FcPatternDestroy(match);
    }
    FcPatternDestroy(pattern);
    return found;
#endif
}

// One FLTK font slot per template font name.
Fl_Font FontFor(const std::string &templateFont)
{
    static std::map<std::string, Fl_Font> fonts;
    static Fl_Font next = FL_FREE_FONT;
    auto it = fonts.find(templateFont);
    if (it != fonts.end())
        return it->second;
    std::string family = FamilyInstalled(templateFont) ? templateFont : kFallbackFamily;
    // FLTK reads the first character of a font name as its style; ' ' is plain.
    std::string name = " " + family;
    Fl_Font font = next;
    next = static_cast<Fl_Font>(next + 1);
    Fl::set_font(font, strdup(name.c_str())); // FLTK keeps the pointer
    fonts[templateFont] = font;
    return font;
}

// FLTK gives '@' (symbols) a meaning in labels; '&' it treats as Windows does.
std::string LabelText(const std::string &text)
{
    std::string out;
    for (char ch : text) {
        if (ch == '@')
            out += '@';
        out += ch;
    }
    return out;
}

// Menu item labels: '/' makes submenus and '\' escapes; both are escaped.
std::string MenuText(const std::string &text)
{
    std::string out;
    for (char ch : text) {
        if (ch == '/' || ch == '\\' || ch == '_')
            out += '\\';
        out += ch;
    }
    return out;
}

Fl_Pixmap *PixmapFor(HICON icon)
{
    static std::map<HICON, std::unique_ptr<Fl_Pixmap>> cache;
    if (icon == nullptr || mfc::IconResource(icon)->xpm == nullptr)
        return nullptr;
    auto &slot = cache[icon];
    if (!slot)
        slot = std::make_unique<Fl_Pixmap>(mfc::IconResource(icon)->xpm);
    return slot.get();
}

// A group box: an engraved frame whose caption interrupts its top edge.
class GroupBox : public Fl_Box {
public:
    GroupBox(int x, int y, int w, int h) : Fl_Box(x, y, w, h) {}

protected:
    void draw() override
    {
        fl_font(labelfont(), labelsize());
        int half = labelsize() / 2;
        fl_draw_box(FL_ENGRAVED_FRAME, x(), y() + half, w(), h() - half, color());
        const char *text = label();
        if (text != nullptr && *text != '\0') {
            int width = static_cast<int>(fl_width(text)) + 4;
            fl_color(parent() != nullptr ? parent()->color() : color());
            fl_rectf(x() + 7, y(), width, labelsize() + 1);
            fl_color(labelcolor());
            fl_draw(text, x() + 9, y() + labelsize() - fl_descent());
        }
    }
};

struct Peer {
    mfc::Window *window = nullptr;
    Fl_Widget *widget = nullptr;
    Fl_Menu_Button *systemMenu = nullptr; // dialogs
    std::vector<std::string> items;       // combo boxes: what the widget shows
};

Peer *PeerOf(mfc::Window *w)
{
    return static_cast<Peer *>(w->backendData);
}

HWND DialogOf(mfc::Window *control)
{
    return mfc::ToHwnd(control->parent);
}

void OnButton(Fl_Widget *, void *data)
{
    mfc::Window *w = static_cast<Peer *>(data)->window;
    mfc::Click(DialogOf(w), w->id);
}

void OnChoice(Fl_Widget *widget, void *data)
{
    mfc::Window *w = static_cast<Peer *>(data)->window;
    mfc::SelectItem(DialogOf(w), w->id, static_cast<Fl_Choice *>(widget)->value());
}

void OnClose(Fl_Widget *, void *data)
{
    mfc::SysCommand(mfc::ToHwnd(static_cast<Peer *>(data)->window), SC_CLOSE);
}

void OnSystemMenu(Fl_Widget *widget, void *data)
{
    auto *menu = static_cast<Fl_Menu_Button *>(widget);
    const Fl_Menu_Item *item = menu->mvalue();
    if (item == nullptr)
        return;
    UINT id = static_cast<UINT>(reinterpret_cast<uintptr_t>(item->user_data()));
    mfc::SysCommand(mfc::ToHwnd(static_cast<Peer *>(data)->window), id);
}

class FltkBackend : public mfc::Backend {
public:
    void RunModal(mfc::Window *dialog) override
    {
        Peer *peer = EnsureDialog(dialog);
        auto *win = static_cast<Fl_Double_Window *>(peer->widget);
        if (++m_Depth > 1)
            win->set_modal();
        win->show();
        while (!dialog->modalEnded && !win->visible())
            Fl::wait();
        if (!dialog->modalEnded) {
            Fl::wait(0);
            Fl::flush();
            XSync(fl_display, False);
            Announce(dialog, win);
        }
        while (!dialog->modalEnded) {
            if (Fl::first_window() == nullptr) {
                dialog->modalEnded = true;
                dialog->modalResult = IDCANCEL;
                break;
            }
            Fl::wait();
        }
        win->hide();
        --m_Depth;
    }

    int MessageBox(mfc::Window *, const std::string &text, const std::string &caption, UINT type) override
    {
        fl_message_title(caption.c_str());
        fl_message_font(FontFor(kFallbackFamily), PointsToPixels(9));
        switch (type & MB_TYPEMASK) {
        case MB_OKCANCEL:
            return fl_choice("%s", "Cancel", "OK", nullptr, text.c_str()) == 1 ? IDOK : IDCANCEL;
        case MB_YESNO:
            return fl_choice("%s", "No", "Yes", nullptr, text.c_str()) == 1 ? IDYES : IDNO;
        default: {
            // fl_message draws the information sign; its one button says OK here.
            const char *saved = fl_close;
            fl_close = "OK";
            fl_message("%s", text.c_str());
            fl_close = saved;
            return IDOK;
        }
        }
    }

    void Changed(mfc::Window *w) override
    {
        if (w->kind == mfc::WindowKind::Dialog) {
            if (Peer *peer = PeerOf(w))
                UpdateDialog(peer);
            return;
        }
        if (w->parent == nullptr || PeerOf(w->parent) == nullptr)
            return; // shown when its dialog is
        if (PeerOf(w) == nullptr)
            CreateControl(w);
        else
            UpdateControl(PeerOf(w));
    }

    void Destroying(mfc::Window *w) override
    {
        Peer *peer = PeerOf(w);
        if (peer == nullptr)
            return;
        w->backendData = nullptr;
        if (peer->widget != nullptr) {
            peer->widget->hide();
            if (Fl_Group *parent = peer->widget->parent())
                parent->remove(peer->widget);
            Fl::delete_widget(peer->widget);
        }
        delete peer;
    }

private:
    Peer *EnsureDialog(mfc::Window *dialog)
    {
        if (Peer *peer = PeerOf(dialog))
            return peer;
        auto *peer = new Peer;
        peer->window = dialog;
        const RECT &r = dialog->rect;
        auto *win = new Fl_Double_Window(r.left, r.top, r.right - r.left, r.bottom - r.top);
        win->end();
        win->callback(OnClose, peer);
        peer->widget = win;
        peer->systemMenu = new Fl_Menu_Button(0, 0, win->w(), win->h());
        peer->systemMenu->type(Fl_Menu_Button::POPUP3);
        peer->systemMenu->callback(OnSystemMenu, peer);
        peer->systemMenu->textfont(FontFor(dialog->fontName));
        peer->systemMenu->textsize(PointsToPixels(dialog->fontPoint));
        win->add(peer->systemMenu);
        dialog->backendData = peer;
        UpdateDialog(peer);
        for (mfc::Window *child : dialog->children)
            CreateControl(child);
        return peer;
    }

    void UpdateDialog(Peer *peer)
    {
        mfc::Window *dialog = peer->window;
        auto *win = static_cast<Fl_Double_Window *>(peer->widget);
        const RECT &r = dialog->rect;
        int width = r.right - r.left, height = r.bottom - r.top;
        if (win->x() != r.left || win->y() != r.top || win->w() != width || win->h() != height)
            win->resize(r.left, r.top, width, height);
        peer->systemMenu->resize(0, 0, width, height);
        win->copy_label(dialog->text.c_str());
        if (dialog->bigIcon != nullptr && dialog->bigIcon != m_IconShown[win]) {
            if (Fl_Pixmap *pixmap = PixmapFor(dialog->bigIcon)) {
                Fl_RGB_Image rgb(pixmap);
                win->icon(&rgb);
            }
            m_IconShown[win] = dialog->bigIcon;
        }
        peer->systemMenu->clear();
        if (dialog->systemMenu) {
            for (const mfc::MenuItem &item : dialog->systemMenu->items) {
                if (item.flags & MF_SEPARATOR) {
                    int last = peer->systemMenu->size() - 2;
                    if (last >= 0)
                        peer->systemMenu->mode(last, peer->systemMenu->mode(last) | FL_MENU_DIVIDER);
                    continue;
                }
                peer->systemMenu->add(MenuText(item.text).c_str(), 0, nullptr,
                                      reinterpret_cast<void *>(static_cast<uintptr_t>(item.id)),
                                      (item.flags & MF_GRAYED) ? FL_MENU_INACTIVE : 0);
            }
        }
        if (dialog->modalEnded)
            win->hide();
        win->redraw();
    }

    void CreateControl(mfc::Window *w)
    {
        Peer *dialogPeer = PeerOf(w->parent);
        auto *win = static_cast<Fl_Double_Window *>(dialogPeer->widget);
        auto *peer = new Peer;
        peer->window = w;
        const RECT &r = w->rect;
        int x = r.left, y = r.top, width = r.right - r.left, height = r.bottom - r.top;
        switch (w->kind) {
        case mfc::WindowKind::GroupBox:
            peer->widget = new GroupBox(x, y, width, height);
            break;
        case mfc::WindowKind::Button: {
            auto *button = new Fl_Button(x, y, width, height);
            button->callback(OnButton, peer);
            if ((w->style & 0xF) == BS_DEFPUSHBUTTON)
                button->shortcut(FL_Enter);
            peer->widget = button;
            break;
        }
        case mfc::WindowKind::ComboBox: {
            auto *choice = new Fl_Choice(x, y, width, ComboHeight(height));
            choice->callback(OnChoice, peer);
            choice->down_box(FL_BORDER_BOX);
            peer->widget = choice;
            break;
        }
        case mfc::WindowKind::Icon:
        case mfc::WindowKind::Static:
        default: {
            auto *box = new Fl_Box(x, y, width, height);
            box->box(FL_NO_BOX);
            // Not clipped: a line of the substitute font may be a little taller
            // than the template font's line the rectangle was made for.
            box->align(FL_ALIGN_TOP_LEFT | FL_ALIGN_INSIDE | FL_ALIGN_WRAP);
            peer->widget = box;
            break;
        }
        }
        Fl_Font font = FontFor(w->parent->fontName);
        int size = PointsToPixels(w->parent->fontPoint);
        peer->widget->labelfont(font);
        peer->widget->labelsize(size);
        if (auto *choice = dynamic_cast<Fl_Choice *>(peer->widget)) {
            choice->textfont(font);
            choice->textsize(size);
        }
        w->backendData = peer;
        // Above the controls made so far, below the system-menu catcher.
        win->insert(*peer->widget, win->children() - 1);
        UpdateControl(peer);
    }

    static int ComboHeight(int rectHeight)
    {
        // The rectangle includes the dropped-down list; the closed box is one line.
        return rectHeight < 22 ? rectHeight : 22;
    }

    void UpdateControl(Peer *peer)
    {
        mfc::Window *w = peer->window;
        Fl_Widget *widget = peer->widget;
        const RECT &r = w->rect;
        int height = r.bottom - r.top;
        if (w->kind == mfc::WindowKind::ComboBox)
            height = ComboHeight(height);
        widget->resize(r.left, r.top, r.right - r.left, height);
        if (w->kind == mfc::WindowKind::ComboBox) {
            auto *choice = static_cast<Fl_Choice *>(widget);
            if (peer->items != w->items) {
                choice->clear();
                for (const std::string &item : w->items)
                    choice->add(MenuText(item).c_str(), 0, nullptr, nullptr, 0);
                peer->items = w->items;
            }
            if (w->curSel >= 0 && w->curSel < choice->size() - 1)
                choice->value(w->curSel);
            else
                choice->value(static_cast<const Fl_Menu_Item *>(nullptr));
        } else if (w->kind == mfc::WindowKind::Icon) {
            widget->image(PixmapFor(w->image));
            widget->label(nullptr);
        } else {
            widget->copy_label(LabelText(w->text).c_str());
        }
        if (w->Visible())
            widget->show();
        else
            widget->hide();
        if (w->style & WS_DISABLED)
            widget->deactivate();
        else
            widget->activate();
        if (widget->window() != nullptr)
            widget->window()->redraw();
    }

    void Announce(mfc::Window *dialog, Fl_Double_Window *win)
    {
        const char *fd = getenv("NERAVOX_MFC_READY_FD");
        if (fd == nullptr || *fd == '\0')
            return;
        char line[64];
        int n = snprintf(line, sizeof(line), "%d 0x%lx\n", dialog->templateId, static_cast<unsigned long>(fl_xid(win)));
        if (write(atoi(fd), line, static_cast<size_t>(n)) != n)
            fprintf(stderr, "cannot report the dialog on descriptor %s\n", fd);
    }

    int m_Depth = 0;
    std::map<Fl_Window *, HICON> m_IconShown;
};

} // namespace

namespace mfc::fltk {

bool Install()
{
    Display *display = XOpenDisplay(nullptr);
    if (display == nullptr)
        return false;
    fl_open_display(display);
    Fl::scheme("gtk+");
    static FltkBackend backend;
    SetBackend(&backend);
    return true;
}

} // namespace mfc::fltk
