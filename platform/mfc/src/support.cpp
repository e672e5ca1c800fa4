// Strings, resources, the trace, assertions, menus and paint contexts.
#include <afxwin.h>
#include "mfc/inspect.h"

#include <stdio.h>
#include <string.h>

#include <mutex>

namespace {

const AFX_RESOURCE_TABLE *g_Resources = nullptr;

std::mutex g_TraceLock; // guards g_TraceListener
std::function<void(const std::string &)> g_TraceListener;

std::string VFormat(const char *format, va_list args)
{
    va_list copy;
    va_copy(copy, args);
    int n = vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (n < 0)
        return std::string();
    std::string out(static_cast<size_t>(n), '\0');
    vsnprintf(out.data(), out.size() + 1, format, args);
    return out;
}

} // namespace

void AfxSetResourceTable(const AFX_RESOURCE_TABLE *table)
{
    g_Resources = table;
}

const AFX_RESOURCE_TABLE *AfxGetResourceTable()
{
    return g_Resources;
}

const AFX_DLGTEMPLATE *AfxFindDialogTemplate(int id)
{
    if (g_Resources == nullptr)
        return nullptr;
    for (size_t i = 0; i < g_Resources->dialogCount; ++i)
        if (g_Resources->dialogs[i].id == id)
            return &g_Resources->dialogs[i];
    return nullptr;
}

const char *AfxFindString(int id)
{
    if (g_Resources == nullptr)
        return nullptr;
    for (size_t i = 0; i < g_Resources->stringCount; ++i)
        if (g_Resources->strings[i].id == id)
            return g_Resources->strings[i].text;
    return nullptr;
}

const AFX_ICONRES *AfxFindIcon(int id)
{
    if (g_Resources == nullptr)
        return nullptr;
    for (size_t i = 0; i < g_Resources->iconCount; ++i)
        if (g_Resources->icons[i].id == id)
            return &g_Resources->icons[i];
    return nullptr;
}

BOOL CString::LoadString(UINT id)
{
    const char *text = AfxFindString(static_cast<int>(id));
    m_Text = text != nullptr ? text : "";
    return text != nullptr;
}

void CString::Format(LPCTSTR format, ...)
{
    va_list args;
    va_start(args, format);
    FormatV(format, args);
    va_end(args);
}

void CString::FormatV(LPCTSTR format, va_list args)
{
    m_Text = VFormat(format, args);
}

void AfxTrace(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    std::string text = VFormat(format, args);
    va_end(args);
    std::lock_guard<std::mutex> guard(g_TraceLock);
    if (g_TraceListener)
        g_TraceListener(text);
    else
        fputs(text.c_str(), stderr);
}

void AfxAssertFailed(const char *expression, const char *file, int line)
{
    AfxTrace("Assertion failed: %s, %s(%d)\n", expression, file, line);
}

namespace mfc {

void SetTraceListener(std::function<void(const std::string &)> listener)
{
    std::lock_guard<std::mutex> guard(g_TraceLock);
    g_TraceListener = std::move(listener);
}

SIZE DialogBaseUnits(int fontPoint)
{
    // The character height at 96 dots per inch, and half of it as the
    // average width, which is what the usual dialog fonts measure.
    int height = MulDiv(fontPoint > 0 ? fontPoint : 8, 96, 72);
    SIZE units = {(height + 1) / 2, height};
    return units;
}

} // namespace mfc

BOOL CMenu::AppendMenu(UINT flags, UINT_PTR id, LPCTSTR text)
{
    if (m_Menu == nullptr)
        return FALSE;
    mfc::MenuItem item;
    item.flags = flags;
    item.id = (flags & MF_SEPARATOR) ? 0 : static_cast<UINT>(id);
    item.text = (flags & MF_SEPARATOR) || text == nullptr ? "" : text;
    m_Menu->items.push_back(item);
    return TRUE;
}

UINT CMenu::GetMenuItemCount() const
{
    return m_Menu != nullptr ? static_cast<UINT>(m_Menu->items.size()) : static_cast<UINT>(-1);
}

UINT CMenu::GetMenuItemID(int position) const
{
    if (m_Menu == nullptr || position < 0 || static_cast<size_t>(position) >= m_Menu->items.size())
        return static_cast<UINT>(-1);
    return m_Menu->items[static_cast<size_t>(position)].id;
}

int CMenu::GetMenuString(UINT position, CString &text, UINT flags) const
{
    text.Empty();
    if (m_Menu == nullptr)
        return 0;
    for (size_t i = 0; i < m_Menu->items.size(); ++i) {
        const mfc::MenuItem &item = m_Menu->items[i];
        if ((flags & MF_BYPOSITION) ? i == position : item.id == position && !(item.flags & MF_SEPARATOR)) {
            text = item.text.c_str();
            return text.GetLength();
        }
    }
    return 0;
}

BOOL CDC::DrawIcon(int x, int y, HICON icon)
{
    if (m_Target == nullptr || icon == nullptr)
        return FALSE;
    mfc::PaintRecord record{mfc::PaintRecord::DrawIcon, x, y, icon};
    m_Target->paintLog.push_back(record);
    return TRUE;
}

CPaintDC::CPaintDC(CWnd *wnd) : m_Wnd(wnd)
{
    m_Target = wnd != nullptr ? wnd->Model() : nullptr;
    m_hDC = reinterpret_cast<HDC>(m_Target);
}

CPaintDC::~CPaintDC()
{
    if (m_Target != nullptr && mfc::CurrentBackend() != nullptr)
        mfc::CurrentBackend()->Changed(m_Target);
}
