#include <windows.h>

#include "PortDiscovery.h"

#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

namespace {

const char kScriptFile[] = "DeviceQuery.vbs";
const char kListFile[] = "DeviceList.txt";
const char kNamePrefix[] = "TAMBRIX Virtual COM Port ";

const char *const kScriptLines[] = {
    "Set objFSO=CreateObject(\"Scripting.FileSystemObject\")",
    "outFile=\"DeviceList.txt\"",
    "Set objFile = objFSO.CreateTextFile(outFile,True)",
    "strComputer = \".\"",
    "Set objWMIService = GetObject(\"winmgmts:\\\\\" & strComputer & \"\\root\\CIMV2\")",
    "Set colItems = objWMIService.ExecQuery( _",
    " \"SELECT * FROM Win32_PnPEntity\",,48)",
    "For Each objItem in colItems",
    "\tobjFile.Write \"\" & objItem.Name & vbCrLf",
    "Next",
    "objFile.Close",
};

bool WriteScript()
{
    FILE *script = fopen(kScriptFile, "w+");
    if (script == nullptr)
        return false;
    bool ok = true;
    for (const char *line : kScriptLines)
        ok = ok && fputs(line, script) >= 0 && fputc('\n', script) != EOF;
    return fclose(script) == 0 && ok;
}

void RunScript()
{
    SHELLEXECUTEINFOA info;
    memset(&info, 0, sizeof(info));
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_NOCLOSEPROCESS;
    info.lpVerb = nullptr;
    info.lpFile = "cscript";
    info.lpParameters = kScriptFile;
    info.lpDirectory = nullptr;
    info.nShow = 0;
    // A script host that cannot be started leaves no list behind (the old
    // one was removed) and no process to wait for.
    if (ShellExecuteExA(&info) && info.hProcess != nullptr) {
        WaitForSingleObject(info.hProcess, INFINITE);
        CloseHandle(info.hProcess);
    }
}

} // namespace

void DiscoverComPorts(int comNumbers[MAX_PORT_TABLE])
{
    for (int i = 0; i < MAX_PORT_TABLE; ++i)
        comNumbers[i] = -1;

    // A list left from an earlier run must not stand in for this one.
    remove(kListFile);

    std::vector<std::string> kept;
    if (WriteScript()) {
        RunScript();
        FILE *list = fopen(kListFile, "r");
        if (list != nullptr) {
            char line[1024];
            while (fgets(line, sizeof(line), list) != nullptr)
                if (strncmp(line, kNamePrefix, 25) == 0)
                    kept.push_back(line);
            fclose(list);
        }
    }

    for (const std::string &name : kept) {
        int port = -1, com = -1;
        int read = sscanf(name.c_str(), "TAMBRIX Virtual COM Port %d(COM%d)\r\n", &port, &com);
        if (read < 2)
            read = sscanf(name.c_str(), "TAMBRIX Virtual COM Port %d (COM%d)\r\n", &port, &com);
        if (read < 1)
            continue;
        if (read == 1)
            com = port + 5;
        if (port >= 0 && port < MAX_PORT_TABLE)
            comNumbers[port] = com;
    }

    remove(kScriptFile);
    remove(kListFile);
}
