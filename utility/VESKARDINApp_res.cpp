// The resources of VESKARDINApp: what its resource script holds.
#include "VESKARDINApp.h"

#include "resource.h"

namespace {

// Icon 128: a serial connector on a blue tile.
const char *const kMainIcon[] = {
    "32 32 4 1",
    "  c None",
    "b c #1F4E9A",
    "w c #F2F2F2",
    "k c #202020",
    "                                ",
    "     bbbbbbbbbbbbbbbbbbbbbb     ",
    "   bbbbbbbbbbbbbbbbbbbbbbbbbb   ",
    "  bbbbbbbbbbbbbbbbbbbbbbbbbbbb  ",
    "  bbbbbbbbbbbbbbbbbbbbbbbbbbbb  ",
    " bbbbbbbbbbbbbbbbbbbbbbbbbbbbbb ",
    " bbbbbbbbbbbbbbbbbbbbbbbbbbbbbb ",
    " bbbbbbbbbbbbbbbbbbbbbbbbbbbbbb ",
    " bbbbbbbbbbbbbbbbbbbbbbbbbbbbbb ",
    " bbbbbwwwwwwwwwwwwwwwwwwwwbbbbb ",
    " bbbbbwwwwwwwwwwwwwwwwwwwwbbbbb ",
    " bbbbbwwwwwwwwwwwwwwwwwwwwbbbbb ",
    " bbbbbbwwkkwkkwkkwkkwkkwwbbbbbb ",
    " bbbbbbwwkkwkkwkkwkkwkkwwbbbbbb ",
    " bbbbbbwwwwwwwwwwwwwwwwwwbbbbbb ",
    " bbwwbbwwwwwwwwwwwwwwwwwwbbwwbb ",
    " bbwwbbbwwwwwwwwwwwwwwwwbbbwwbb ",
    " bbbbbbbwwkkwkkwkkwkkwwwbbbbbbb ",
    " bbbbbbbwwkkwkkwkkwkkwwwbbbbbbb ",
    " bbbbbbbwwwwwwwwwwwwwwwwbbbbbbb ",
    " bbbbbbbbwwwwwwwwwwwwwwbbbbbbbb ",
    " bbbbbbbbwwwwwwwwwwwwwwbbbbbbbb ",
    " bbbbbbbbwwwwwwwwwwwwwwbbbbbbbb ",
    " bbbbbbbbbbbbbbbbbbbbbbbbbbbbbb ",
    " bbbbbbbbbbbbbbbbbbbbbbbbbbbbbb ",
    " bbbbbbbbbbbbbbbbbbbbbbbbbbbbbb ",
    " bbbbbbbbbbbbbbbbbbbbbbbbbbbbbb ",
    "  bbbbbbbbbbbbbbbbbbbbbbbbbbbb  ",
    "  bbbbbbbbbbbbbbbbbbbbbbbbbbbb  ",
    "   bbbbbbbbbbbbbbbbbbbbbbbbbb   ",
    "     bbbbbbbbbbbbbbbbbbbbbb     ",
    "                                ",
};

const AFX_DLGITEMTEMPLATE kAboutItems[] = {
    {"STATIC", "", IDC_STATIC, WS_CHILD | WS_VISIBLE | SS_ICON, 11, 17, 20, 20, IDR_MAINFRAME},
    {"STATIC", "VESKARDINApp 버전 1.0", IDC_STATIC, WS_CHILD | WS_VISIBLE | SS_LEFT | SS_NOPREFIX, 40, 10, 119, 8, 0},
    {"STATIC", "Copyright (C) 2026", IDC_STATIC, WS_CHILD | WS_VISIBLE | SS_LEFT, 40, 25, 119, 8, 0},
    {"BUTTON", "확인", IDOK, WS_CHILD | WS_VISIBLE | WS_TABSTOP | WS_GROUP | BS_DEFPUSHBUTTON, 178, 7, 50, 14, 0},
};

const AFX_DLGITEMTEMPLATE kMainItems[] = {
    {"STATIC", "Choose modes, then press Write.", IDC_STATIC, WS_CHILD | WS_VISIBLE | SS_LEFT, 7, 120, 139, 8, 0},
    {"BUTTON", "PORT Status", IDC_PORT_STATUS, WS_CHILD | WS_VISIBLE | BS_GROUPBOX, 7, 7, 277, 98, 0},
    {"BUTTON", "Read", IDC_BUTTON_READ, WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, 159, 118, 50, 14, 0},
    {"BUTTON", "Write", IDC_BUTTON_WRITE, WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, 219, 118, 50, 14, 0},
};

const AFX_DLGTEMPLATE kDialogs[] = {
    {IDD_ABOUTBOX, "VESKARDINApp 정보", "굴림", 9, DEFAULT_CHARSET, true,
     DS_MODALFRAME | WS_POPUP | WS_CAPTION | WS_SYSMENU, 0, 0, 235, 55, kAboutItems,
     sizeof(kAboutItems) / sizeof(kAboutItems[0])},
    {IDD_VESKARDINAPP_DIALOG, "VESKARDINApp", "굴림", 9, DEFAULT_CHARSET, true,
     WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME, 0, 0, 291, 147, kMainItems,
     sizeof(kMainItems) / sizeof(kMainItems[0])},
};

const AFX_STRINGRES kStrings[] = {
    {IDS_ABOUTBOX, "VESKARDINApp 정보(&A)..."},
};

const AFX_ICONRES kIcons[] = {
    {IDR_MAINFRAME, kMainIcon},
};

const AFX_RESOURCE_TABLE kResources = {
    kDialogs, sizeof(kDialogs) / sizeof(kDialogs[0]), kStrings, sizeof(kStrings) / sizeof(kStrings[0]),
    kIcons,   sizeof(kIcons) / sizeof(kIcons[0]),
};

} // namespace

const AFX_RESOURCE_TABLE &VESKARDINAppResources()
{
    return kResources;
}
