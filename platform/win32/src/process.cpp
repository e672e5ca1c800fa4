#include <windows.h>
#include "win32/handle_object.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <vector>

extern char **environ;

namespace {

class ProcessObject : public win32::HandleObject {
public:
    explicit ProcessObject(pid_t pid) : m_Pid(pid)
    {
#ifdef SYS_pidfd_open
        m_PidFd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#endif
    }

    ~ProcessObject() override
    {
        // Closing the handle does not end the process; a child that is still
        // running is reaped by whoever inherits it.
        if (m_PidFd >= 0)
            ::close(m_PidFd);
    }

    DWORD Wait(DWORD milliseconds) override
    {
        if (Reap(false))
            return WAIT_OBJECT_0;
        if (milliseconds == 0)
            return WAIT_TIMEOUT;
        if (m_PidFd >= 0) {
            struct pollfd p = {m_PidFd, POLLIN, 0};
            int timeout = milliseconds == INFINITE ? -1 : static_cast<int>(milliseconds > 0x7fffffffu ? 0x7fffffffu : milliseconds);
            int rc;
            do
                rc = ::poll(&p, 1, timeout);
            while (rc < 0 && errno == EINTR);
            if (rc == 0)
                return WAIT_TIMEOUT;
            if (rc < 0) {
                SetLastError(ERROR_INVALID_HANDLE);
                return WAIT_FAILED;
            }
            return Reap(true) ? WAIT_OBJECT_0 : WAIT_FAILED;
        }
        // Without a process descriptor only an unlimited wait is possible.
        if (milliseconds != INFINITE) {
            SetLastError(ERROR_INVALID_FUNCTION);
            return WAIT_FAILED;
        }
        return Reap(true) ? WAIT_OBJECT_0 : WAIT_FAILED;
    }

    bool ExitCode(DWORD *code)
    {
        Reap(false);
        std::lock_guard<std::mutex> guard(m_Lock);
        *code = m_Exited ? m_ExitCode : STILL_ACTIVE;
        return true;
    }

private:
    // Collects the exit status once; true when the process has ended.
    bool Reap(bool block)
    {
        std::lock_guard<std::mutex> guard(m_Lock);
        if (m_Exited)
            return true;
        int status = 0;
        pid_t rc;
        do
            rc = ::waitpid(m_Pid, &status, block ? 0 : WNOHANG);
        while (rc < 0 && errno == EINTR);
        if (rc != m_Pid)
            return false;
        m_Exited = true;
        if (WIFEXITED(status))
            m_ExitCode = static_cast<DWORD>(WEXITSTATUS(status));
        else if (WIFSIGNALED(status))
            m_ExitCode = 0xC0000000u | static_cast<DWORD>(WTERMSIG(status));
        return true;
    }

    const pid_t m_Pid;
    int m_PidFd = -1;
    std::mutex m_Lock; // guards m_Exited and m_ExitCode
    bool m_Exited = false;
    DWORD m_ExitCode = 0;
};

bool IsExecutable(const std::string &path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

std::string ExecutableDirectory()
{
    char path[4096];
    ssize_t n = ::readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (n <= 0)
        return std::string();
    path[n] = '\0';
    char *slash = strrchr(path, '/');
    if (slash == nullptr)
        return std::string();
    *slash = '\0';
    return path;
}

// Beside the executable first, then each PATH entry; "" when not found.
std::string ResolveProgram(const std::string &file)
{
    if (file.find('/') != std::string::npos)
        return IsExecutable(file) ? file : std::string();
    std::string dir = ExecutableDirectory();
    if (!dir.empty() && IsExecutable(dir + "/" + file))
        return dir + "/" + file;
    const char *path = getenv("PATH");
    std::string list = path != nullptr ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find(':', start);
        if (end == std::string::npos)
            end = list.size();
        std::string entry = list.substr(start, end - start);
        if (entry.empty())
            entry = ".";
        if (IsExecutable(entry + "/" + file))
            return entry + "/" + file;
        start = end + 1;
    }
    return std::string();
}

// Blanks separate arguments; double quotes group blanks into one.
std::vector<std::string> SplitParameters(const char *text)
{
    std::vector<std::string> out;
    if (text == nullptr)
        return out;
    std::string current;
    bool inWord = false, quoted = false;
    for (const char *p = text; *p != '\0'; ++p) {
        char ch = *p;
        if (ch == '"') {
            quoted = !quoted;
            inWord = true;
        } else if ((ch == ' ' || ch == '\t') && !quoted) {
            if (inWord)
                out.push_back(current);
            current.clear();
            inWord = false;
        } else {
            current.push_back(ch);
            inWord = true;
        }
    }
    if (inWord)
        out.push_back(current);
    return out;
}

BOOL Fail(SHELLEXECUTEINFOA *info, DWORD error, int shellError)
{
    info->hInstApp = reinterpret_cast<HINSTANCE>(static_cast<INT_PTR>(shellError));
    SetLastError(error);
    return FALSE;
}

} // namespace

extern "C" BOOL WINAPI ShellExecuteExA(SHELLEXECUTEINFOA *info)
{
    if (info == nullptr || info->cbSize != sizeof(SHELLEXECUTEINFOA) || info->lpFile == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    info->hProcess = nullptr;
    if (info->lpVerb != nullptr && info->lpVerb[0] != '\0' && strcasecmp(info->lpVerb, "open") != 0)
        return Fail(info, ERROR_INVALID_FUNCTION, SE_ERR_NOASSOC);

    std::string program = ResolveProgram(info->lpFile);
    if (program.empty())
        return Fail(info, ERROR_FILE_NOT_FOUND, SE_ERR_FNF);

    std::vector<std::string> args = SplitParameters(info->lpParameters);
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(info->lpFile));
    for (std::string &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (info->lpDirectory != nullptr && info->lpDirectory[0] != '\0')
        posix_spawn_file_actions_addchdir_np(&actions, info->lpDirectory);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        return Fail(info, rc == ENOENT ? ERROR_PATH_NOT_FOUND : ERROR_ACCESS_DENIED,
                    rc == ENOENT ? SE_ERR_PNF : SE_ERR_ACCESSDENIED);

    // Success: hInstApp holds a value above 32.
    info->hInstApp = reinterpret_cast<HINSTANCE>(static_cast<INT_PTR>(42));
    auto *process = new ProcessObject(pid);
    if (info->fMask & SEE_MASK_NOCLOSEPROCESS)
        info->hProcess = process->AsHandle();
    else
        delete process;
    return TRUE;
}

extern "C" BOOL WINAPI GetExitCodeProcess(HANDLE process, LPDWORD exitCode)
{
    auto *object = dynamic_cast<ProcessObject *>(win32::HandleObject::FromHandle(process));
    if (object == nullptr || exitCode == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return object->ExitCode(exitCode) ? TRUE : FALSE;
}
