#include "support.h"

#include "VESKARDINApp.h"
#include "VESKARDINAppDlg.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

void PrintTo(const CRect &r, std::ostream *os)
{
    *os << "(" << r.left << ", " << r.top << ")-(" << r.right << ", " << r.bottom << ")";
}

namespace utiltest {

TempDir::TempDir()
{
    char tmpl[] = "/tmp/veskardin-testXXXXXX";
    if (mkdtemp(tmpl) == nullptr)
        ADD_FAILURE() << "mkdtemp failed";
    m_Path = tmpl;
}

TempDir::~TempDir()
{
    std::string cmd = "rm -rf '" + m_Path + "'";
    if (system(cmd.c_str()) != 0)
        ADD_FAILURE() << "cannot remove " << m_Path;
}

ScopedEnv::ScopedEnv(const char *name, const char *value) : m_Name(name)
{
    const char *old = getenv(name);
    m_Had = old != nullptr;
    if (m_Had)
        m_Old = old;
    if (value != nullptr)
        setenv(name, value, 1);
    else
        unsetenv(name);
}

ScopedEnv::~ScopedEnv()
{
    if (m_Had)
        setenv(m_Name.c_str(), m_Old.c_str(), 1);
    else
        unsetenv(m_Name.c_str());
}

namespace {

std::string Quote(const std::string &text)
{
    std::string out = "\"";
    for (char ch : text) {
        if (ch == '"' || ch == '\\')
            out += '\\';
        out += ch;
    }
    return out + "\"";
}

} // namespace

std::string ConfigJson(const std::vector<ControllerSpec> &controllers)
{
    std::ostringstream out;
    out << "{ \"controllers\": [";
    for (size_t i = 0; i < controllers.size(); ++i) {
        out << (i ? ", " : "") << "{ \"productId\": " << controllers[i].productId << ", \"DevID\": " << i
            << ", \"ports\": [";
        const auto &names = controllers[i].friendlyNames;
        for (size_t p = 0; p < names.size(); ++p) {
            out << (p ? ", " : "") << "{ \"line\": \"none\"";
            if (!names[p].empty())
                out << ", \"friendlyName\": " << Quote(names[p]);
            out << " }";
        }
        out << "] }";
    }
    out << "] }";
    return out.str();
}

void WriteFile(const std::string &path, const std::string &text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    ASSERT_TRUE(out.good()) << path;
}

std::string ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool Exists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

void UtilityFixture::SetUp()
{
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
    m_OldCwd = cwd;
    ASSERT_EQ(chdir(m_Work.Path().c_str()), 0);
    m_StateEnv = std::make_unique<ScopedEnv>("NERAVOX_STATE_DIR", m_State.Path().c_str());
    mfc::headless::Install();
    AfxSetResourceTable(&VESKARDINAppResources());
    mfc::SetTraceListener([this](const std::string &text) { m_Trace += text; });
}

void UtilityFixture::TearDown()
{
    mfc::SetTraceListener(nullptr);
    mfc::headless::Install();
    m_ConfigEnv.reset();
    m_StateEnv.reset();
    EXPECT_EQ(chdir(m_OldCwd.c_str()), 0);
}

void UtilityFixture::UseConfig(const std::vector<ControllerSpec> &controllers)
{
    UseConfigText(ConfigJson(controllers));
}

void UtilityFixture::UseConfigText(const std::string &text)
{
    std::string path = m_State.File("controllers.json");
    WriteFile(path, text);
    // The old setting is restored first, then the new one made.
    m_ConfigEnv.reset();
    m_ConfigEnv = std::make_unique<ScopedEnv>("NERAVOX_CONFIG", path.c_str());
}

void UtilityFixture::RunMainDialog(const std::function<void(CDialog &)> &handler)
{
    mfc::headless::SetModalHandler(handler);
    CVESKARDINAppDlg dlg;
    dlg.DoModal();
    mfc::headless::SetModalHandler(nullptr);
}

std::vector<std::string> UtilityFixture::MessageBoxTexts() const
{
    std::vector<std::string> out;
    for (const auto &box : mfc::headless::MessageBoxes())
        out.push_back(box.text);
    return out;
}

} // namespace utiltest
