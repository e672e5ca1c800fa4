// The script host, started as the utility starts it.
#include <windows.h>

#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

const char *const kQuery[] = {
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

class CscriptTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/cscript-testXXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_Dir = tmpl;
        std::string config = m_Dir + "/controllers.json";
        std::ofstream(config) << R"({ "controllers": [
            { "productId": "0x2B72", "DevID": 0, "ports": [ {"line": "none"}, {"line": "none", "friendlyName": "Odd name"} ] },
            { "productId": "0x2B71", "DevID": 1, "ports": [ {"line": "none", "comName": "COM20"} ] } ] })";
        setenv("NERAVOX_CONFIG", config.c_str(), 1);
    }
    void TearDown() override
    {
        unsetenv("NERAVOX_CONFIG");
        std::string cmd = "rm -rf '" + m_Dir + "'";
        EXPECT_EQ(system(cmd.c_str()), 0);
    }

    void WriteScript(const std::vector<std::string> &lines)
    {
        std::ofstream out(m_Dir + "/DeviceQuery.vbs", std::ios::binary);
        for (const std::string &l : lines)
            out << l << "\n";
    }

    // Runs the host in the test folder; its exit code.
    DWORD Run(const char *params)
    {
        SHELLEXECUTEINFOA info = {};
        info.cbSize = sizeof(info);
        info.fMask = SEE_MASK_NOCLOSEPROCESS;
        info.lpFile = "cscript";
        info.lpParameters = params;
        info.lpDirectory = m_Dir.c_str();
        EXPECT_TRUE(ShellExecuteExA(&info));
        if (info.hProcess == nullptr)
            return 9999;
        EXPECT_EQ(WaitForSingleObject(info.hProcess, INFINITE), WAIT_OBJECT_0);
        DWORD code = 9999;
        GetExitCodeProcess(info.hProcess, &code);
        CloseHandle(info.hProcess);
        return code;
    }

    std::string Read(const std::string &name)
    {
        std::ifstream in(m_Dir + "/" + name, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    bool Exists(const std::string &name) { return access((m_Dir + "/" + name).c_str(), F_OK) == 0; }

    std::vector<std::string> QueryLines() { return std::vector<std::string>(std::begin(kQuery), std::end(kQuery)); }

    std::string m_Dir;
};

TEST_F(CscriptTest, DeviceQueryListsThePortsAmongTheSystemDevices)
{
    WriteScript(QueryLines());
    EXPECT_EQ(Run("DeviceQuery.vbs"), 0u);
    std::string list = Read("DeviceList.txt");
    EXPECT_NE(list.find("\r\nTAMBRIX Virtual COM Port 0 (COM5)\r\nOdd name\r\nTAMBRIX Virtual COM Port 2 (COM20)\r\n"),
              std::string::npos)
        << list;
    EXPECT_NE(list.find("Communications Port (COM1)\r\n"), std::string::npos);
    // Every line ends with CR LF.
    size_t lines = 0;
    for (size_t at = list.find('\n'); at != std::string::npos; at = list.find('\n', at + 1)) {
        EXPECT_EQ(list[at - 1], '\r');
        ++lines;
    }
    EXPECT_GE(lines, 6u);
    EXPECT_EQ(list.back(), '\n');
}

TEST_F(CscriptTest, OutputFileNamedByTheScript)
{
    std::vector<std::string> lines = QueryLines();
    lines[1] = "outFile=\"Other.txt\"";
    WriteScript(lines);
    EXPECT_EQ(Run("//NoLogo DeviceQuery.vbs"), 0u);
    EXPECT_NE(Read("Other.txt").find("TAMBRIX Virtual COM Port 0 (COM5)\r\n"), std::string::npos);
}

TEST_F(CscriptTest, RefusesAnyOtherScript)
{
    struct Edit {
        size_t line;
        const char *text; // nullptr removes the line
    };
    const Edit edits[] = {
        {0, "WScript.Echo \"hello\""},
        {6, " \"SELECT * FROM Win32_Process\",,48)"},
        {8, "objFile.Write \"\" & objItem.Name & vbCrLf"}, // the tab is part of it
        {10, nullptr},
        {1, "outFile=\"a\"b\""},
    };
    for (const Edit &e : edits) {
        SCOPED_TRACE(e.line);
        std::vector<std::string> lines = QueryLines();
        if (e.text != nullptr)
            lines[e.line] = e.text;
        else
            lines.erase(lines.begin() + static_cast<long>(e.line));
        WriteScript(lines);
        EXPECT_EQ(Run("DeviceQuery.vbs"), 1u);
        EXPECT_FALSE(Exists("DeviceList.txt"));
    }
    EXPECT_EQ(Run("Missing.vbs"), 1u);
    EXPECT_EQ(Run(""), 1u);
}

TEST_F(CscriptTest, ConfigurationThatDoesNotLoad)
{
    std::ofstream(m_Dir + "/controllers.json") << "[]";
    WriteScript(QueryLines());
    EXPECT_EQ(Run("DeviceQuery.vbs"), 2u);
    EXPECT_FALSE(Exists("DeviceList.txt"));
}

} // namespace
