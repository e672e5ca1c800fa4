/*
 * Resources as a program's resource script would describe them: dialog
 * templates in dialog units, string tables, icons. A program hands its
 * table to AfxSetResourceTable before it creates windows.
 */
#pragma once

#include <windows.h>

#include <stddef.h>

struct AFX_DLGITEMTEMPLATE {
    const char *className; // "STATIC", "BUTTON" or "COMBOBOX"
    const char *text;      // caption; for SS_ICON statics unused
    int id;                // -1 for IDC_STATIC
    DWORD style;           // WS_* | SS_*/BS_*/CBS_* bits
    short x, y, cx, cy;    // dialog units
    int iconId;            // SS_ICON statics: the icon resource
};

struct AFX_DLGTEMPLATE {
    int id;
    const char *caption;
    const char *fontName; // UTF-8
    int fontPoint;
    int charset;
    bool extended; // DIALOGEX
    DWORD style;
    short x, y, cx, cy; // dialog units
    const AFX_DLGITEMTEMPLATE *items;
    size_t itemCount;
};

struct AFX_STRINGRES {
    int id;
    const char *text; // UTF-8
};

// Icons are XPM images: FLTK draws them directly, and they stay readable
// in a source file.
struct AFX_ICONRES {
    int id;
    const char *const *xpm;
};

struct AFX_RESOURCE_TABLE {
    const AFX_DLGTEMPLATE *dialogs;
    size_t dialogCount;
    const AFX_STRINGRES *strings;
    size_t stringCount;
    const AFX_ICONRES *icons;
    size_t iconCount;
};

void AfxSetResourceTable(const AFX_RESOURCE_TABLE *table);
const AFX_RESOURCE_TABLE *AfxGetResourceTable();

const AFX_DLGTEMPLATE *AfxFindDialogTemplate(int id);
const char *AfxFindString(int id); // nullptr when absent
const AFX_ICONRES *AfxFindIcon(int id);
