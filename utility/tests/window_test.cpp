// The utility in a real window: an X server of its own (Xvfb), the program
// itself, and a screenshot of its dialog. Skipped where Xvfb or ImageMagick
// is not installed.
#include "support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "controller/state.h"

extern char **environ;

namespace {

std::string FindProgram(const std::string &name)
{
    const char *path = getenv("PATH");
    std::string list = path != nullptr ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find(':', start);
        if (end == std::string::npos)
            end = list.size();
        std::string candidate = list.substr(start, end - start) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return std::string();
}

std::string ExeDir()
{
    char exe[4096];
    DWORD n = GetModuleFileNameA(nullptr, exe, sizeof(exe));
    std::string path(exe, n);
    return path.substr(0, path.rfind('/'));
}

// A child process with extra environment variables; the descriptors in
// keep stay open in it.
pid_t Spawn(const std::vector<std::string> &argv, const std::vector<std::string> &env, const std::vector<int> &keep,
            const std::string &cwd = std::string())
{
    std::vector<std::string> envStrings;
    for (char **e = environ; *e != nullptr; ++e) {
        std::string entry = *e;
        bool replaced = false;
        for (const std::string &o : env)
            replaced = replaced || entry.compare(0, o.find('=') + 1, o, 0, o.find('=') + 1) == 0;
        if (!replaced)
            envStrings.push_back(entry);
    }
    envStrings.insert(envStrings.end(), env.begin(), env.end());
    std::vector<char *> envp, args;
    for (std::string &e : envStrings)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> argCopy = argv;
    for (std::string &a : argCopy)
        args.push_back(a.data());
    args.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int fd : keep) // dup2 onto itself clears FD_CLOEXEC in the child
        posix_spawn_file_actions_adddup2(&actions, fd, fd);
    if (!cwd.empty())
        posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
    pid_t pid = -1;
    int rc = posix_spawn(&pid, argv[0].c_str(), &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

// One line from fd, waiting at most timeoutMs for it; "" on time-out or EOF.
std::string ReadLine(int fd, int timeoutMs)
{
    std::string line;
    for (;;) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0)
            return std::string();
        char ch;
        if (read(fd, &ch, 1) != 1)
            return std::string();
        if (ch == '\n')
            return line;
        line += ch;
    }
}

int RunToEnd(const std::vector<std::string> &argv)
{
    pid_t pid = Spawn(argv, {}, {});
    if (pid < 0)
        return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void Stop(pid_t pid)
{
    if (pid <= 0)
        return;
    kill(pid, SIGTERM);
    int status;
    waitpid(pid, &status, 0);
}

class WindowTest : public utiltest::UtilityFixture {
protected:
    void TearDown() override
    {
        Stop(m_App);
        Stop(m_Server);
        UtilityFixture::TearDown();
    }
    pid_t m_Server = -1, m_App = -1;
};

struct Rgb {
    int width = 0, height = 0;
    std::vector<unsigned char> pixels;
    // Pixels in [x0, x1) x [y0, y1) darker than a text stroke threshold.
    int DarkPixels(int x0, int y0, int x1, int y1) const
    {
        int n = 0;
        for (int y = y0; y < y1 && y < height; ++y)
            for (int x = x0; x < x1 && x < width; ++x) {
                const unsigned char *p = &pixels[static_cast<size_t>((y * width + x) * 3)];
                if (p[0] + p[1] + p[2] < 3 * 90)
                    ++n;
            }
        return n;
    }
};

TEST_F(WindowTest, MainDialogOnScreen)
{
    std::string xvfb = FindProgram("Xvfb"), import = FindProgram("import"), convert = FindProgram("convert");
    if (xvfb.empty() || import.empty() || convert.empty())
        GTEST_SKIP() << "Xvfb or ImageMagick (import, convert) is not installed: the real-window test is skipped";

    UseConfig({{0x2B72, std::vector<std::string>(4)}, {0x2B71, std::vector<std::string>(2)}});
    sim::controller::StateStore state(m_State.Path());
    state.SetMode(0, 0, 0);
    state.SetMode(1, 1, 2);

    int display[2], ready[2];
    ASSERT_EQ(pipe2(display, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(ready, O_CLOEXEC), 0);
    m_Server = Spawn({xvfb, "-displayfd", std::to_string(display[1]), "-screen", "0", "1600x900x24", "-nolisten",
                      "tcp"},
                     {}, {display[1]});
    ASSERT_GT(m_Server, 0);
    close(display[1]);
    std::string number = ReadLine(display[0], 10000);
    close(display[0]);
    ASSERT_FALSE(number.empty()) << "Xvfb did not report its display";
    std::string displayName = ":" + number;

    m_App = Spawn({ExeDir() + "/VESKARDINApp"},
                  {"DISPLAY=" + displayName, "NERAVOX_MFC_READY_FD=" + std::to_string(ready[1])}, {ready[1]},
                  m_Work.Path());
    ASSERT_GT(m_App, 0);
    close(ready[1]);
    std::string shown = ReadLine(ready[0], 10000);
    close(ready[0]);
    ASSERT_EQ(shown.compare(0, 4, "102 "), 0) << "the main dialog was not reported: \"" << shown << "\"";
    std::string xid = shown.substr(4);

    std::string folder = ExeDir() + "/../screenshots";
    mkdir(folder.c_str(), 0755);
    std::string png = folder + "/veskardin-main.png", raw = m_Work.File("shot.rgb");
    ASSERT_EQ(RunToEnd({import, "-display", displayName, "-window", xid, png}), 0);
    ASSERT_EQ(RunToEnd({convert, png, "-depth", "8", "rgb:" + raw}), 0);
    Stop(m_App);
    m_App = -1;

    Rgb image;
    std::string bytes = utiltest::ReadFile(raw);
    image.width = 787;
    image.height = 175;
    ASSERT_EQ(bytes.size(), static_cast<size_t>(787 * 175 * 3)) << "the dialog is not 787 x 175 pixels";
    image.pixels.assign(bytes.begin(), bytes.end());

    // Text in every label and every list, in two rows; nothing where a
    // seventh port would be.
    for (int i = 0; i < 6; ++i) {
        SCOPED_TRACE(i);
        int c = i % 4, y = 34 + 30 * (i / 4);
        EXPECT_GT(image.DarkPixels(50 + 180 * c, y, 130 + 180 * c, y + 20), 20) << "label";
        EXPECT_GT(image.DarkPixels(130 + 180 * c, y - 4, 210 + 180 * c, y + 18), 20) << "list";
    }
    EXPECT_EQ(image.DarkPixels(410, 64, 570, 90), 0);
    // The buttons' captions.
    EXPECT_GT(image.DarkPixels(250, 110, 320, 135), 10);
    EXPECT_GT(image.DarkPixels(320, 110, 390, 135), 10);
}

} // namespace
