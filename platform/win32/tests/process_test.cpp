#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <thread>
#include <stdlib.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

class ProcessTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/w32procXXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_Dir = tmpl;
    }
    void TearDown() override
    {
        std::string cmd = "rm -rf '" + m_Dir + "'";
        (void)system(cmd.c_str());
    }

    // Starts the child program with the given parameters; returns the process.
    HANDLE Start(const std::string &params, const char *directory = nullptr)
    {
        SHELLEXECUTEINFOA info = {};
        info.cbSize = sizeof(info);
        info.fMask = SEE_MASK_NOCLOSEPROCESS;
        info.lpFile = "win32_test_child";
        info.lpParameters = params.c_str();
        info.lpDirectory = directory;
        info.nShow = SW_HIDE;
        EXPECT_TRUE(ShellExecuteExA(&info)) << GetLastError();
        EXPECT_GT(reinterpret_cast<INT_PTR>(info.hInstApp), 32);
        return info.hProcess;
    }

    static DWORD WaitExit(HANDLE process)
    {
        EXPECT_EQ(WaitForSingleObject(process, INFINITE), WAIT_OBJECT_0);
        DWORD code = 12345;
        EXPECT_TRUE(GetExitCodeProcess(process, &code));
        EXPECT_TRUE(CloseHandle(process));
        return code;
    }

    static std::vector<std::string> Lines(const std::string &path)
    {
        std::ifstream in(path);
        std::vector<std::string> out;
        for (std::string line; std::getline(in, line);)
            out.push_back(line);
        return out;
    }

    std::string m_Dir;
};

TEST_F(ProcessTest, RunsTheProgramAndReportsItsExitCode)
{
    HANDLE process = Start("exit 3");
    ASSERT_NE(process, nullptr);
    EXPECT_EQ(WaitExit(process), 3u);
}

TEST_F(ProcessTest, ParametersAreSplitAtBlanksAndQuotesGroup)
{
    std::string out = m_Dir + "/args.txt";
    HANDLE process = Start("args " + out + "  one \"two words\" three");
    ASSERT_NE(process, nullptr);
    EXPECT_EQ(WaitExit(process), 0u);
    EXPECT_EQ(Lines(out), (std::vector<std::string>{"one", "two words", "three"}));
}

TEST_F(ProcessTest, DirectoryBecomesTheWorkingDirectory)
{
    std::string out = m_Dir + "/pwd.txt";
    HANDLE process = Start("pwd " + out, m_Dir.c_str());
    ASSERT_NE(process, nullptr);
    EXPECT_EQ(WaitExit(process), 0u);
    char real[4096];
    ASSERT_NE(realpath(m_Dir.c_str(), real), nullptr);
    EXPECT_EQ(Lines(out), std::vector<std::string>{real});
}

TEST_F(ProcessTest, WaitTimesOutWhileTheProcessRuns)
{
    std::string fifo = m_Dir + "/gate";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    HANDLE process = Start("fifo " + fifo + " 7");
    ASSERT_NE(process, nullptr);
    EXPECT_EQ(WaitForSingleObject(process, 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(process, 20), WAIT_TIMEOUT);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeProcess(process, &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    {
        std::ofstream gate(fifo);
        gate << "go\n";
    }
    EXPECT_EQ(WaitExit(process), 7u);
}

TEST_F(ProcessTest, TwoThreadsWaitForTheSameProcess)
{
    std::string fifo = m_Dir + "/gate";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    HANDLE process = Start("fifo " + fifo + " 5");
    ASSERT_NE(process, nullptr);
    DWORD results[2] = {WAIT_FAILED, WAIT_FAILED};
    DWORD codes[2] = {0, 0};
    std::thread waiters[2];
    for (int i = 0; i < 2; ++i)
        waiters[i] = std::thread([&, i] {
            results[i] = WaitForSingleObject(process, INFINITE);
            GetExitCodeProcess(process, &codes[i]);
        });
    {
        std::ofstream gate(fifo);
        gate << "go\n";
    }
    for (std::thread &t : waiters)
        t.join();
    EXPECT_EQ(results[0], WAIT_OBJECT_0);
    EXPECT_EQ(results[1], WAIT_OBJECT_0);
    EXPECT_EQ(codes[0], 5u);
    EXPECT_EQ(codes[1], 5u);
    EXPECT_TRUE(CloseHandle(process));
}

TEST_F(ProcessTest, FailuresAndHandleRules)
{
    SHELLEXECUTEINFOA info = {};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_NOCLOSEPROCESS;
    info.lpFile = "no-such-program-anywhere";
    EXPECT_FALSE(ShellExecuteExA(&info));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(reinterpret_cast<INT_PTR>(info.hInstApp), SE_ERR_FNF);
    EXPECT_EQ(info.hProcess, nullptr);

    info.lpFile = "win32_test_child";
    info.lpVerb = "print";
    EXPECT_FALSE(ShellExecuteExA(&info));

    info.lpVerb = nullptr;
    info.cbSize = 0;
    EXPECT_FALSE(ShellExecuteExA(&info));

    // Without SEE_MASK_NOCLOSEPROCESS no handle comes back.
    info.cbSize = sizeof(info);
    info.fMask = 0;
    info.lpParameters = "exit 0";
    EXPECT_TRUE(ShellExecuteExA(&info));
    EXPECT_EQ(info.hProcess, nullptr);

    HANDLE process = Start("exit 0");
    ASSERT_NE(process, nullptr);
    EXPECT_EQ(WaitForSingleObject(process, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(process, INFINITE), WAIT_OBJECT_0); // stays signalled
    EXPECT_TRUE(CloseHandle(process));
    EXPECT_FALSE(CloseHandle(process));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(WaitForSingleObject(process, 0), WAIT_FAILED);
    EXPECT_FALSE(CloseHandle(nullptr));
    EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
    int notAHandle = 0;
    EXPECT_FALSE(CloseHandle(&notAHandle));
}

} // namespace
