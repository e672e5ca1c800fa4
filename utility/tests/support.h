// Shared pieces of the utility's tests: temporary folders, environment,
// controller configurations, and a fixture that runs the main dialog
// headless from a scratch working directory.
#pragma once

#include <afxwin.h>
#include "mfc/headless.h"
#include "mfc/inspect.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

void PrintTo(const CRect &r, std::ostream *os);

namespace utiltest {

class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string &Path() const { return m_Path; }
    std::string File(const std::string &name) const { return m_Path + "/" + name; }

private:
    std::string m_Path;
};

// Sets (or with nullptr unsets) a variable for the lifetime of the object.
class ScopedEnv {
public:
    ScopedEnv(const char *name, const char *value);
    ~ScopedEnv();

private:
    std::string m_Name;
    bool m_Had;
    std::string m_Old;
};

// A controller of the configuration: its product id and the friendly name
// of each port ("" for the default name).
struct ControllerSpec {
    unsigned productId;
    std::vector<std::string> friendlyNames;
};
std::string ConfigJson(const std::vector<ControllerSpec> &controllers);
void WriteFile(const std::string &path, const std::string &text);
std::string ReadFile(const std::string &path);
bool Exists(const std::string &path);

// Runs from a scratch working directory with its own state directory and
// configuration; collects the debug trace; the MFC layer headless with the
// utility's resources.
class UtilityFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    void UseConfig(const std::vector<ControllerSpec> &controllers);
    void UseConfigText(const std::string &text);

    // Runs the main dialog; handler plays the user while it is open (it may
    // also see the about box, template 100).
    void RunMainDialog(const std::function<void(CDialog &)> &handler);

    std::vector<std::string> MessageBoxTexts() const;

    TempDir m_Work;  // the current directory while a test runs
    TempDir m_State; // $NERAVOX_STATE_DIR
    std::string m_Trace;

private:
    std::string m_OldCwd;
    std::unique_ptr<ScopedEnv> m_StateEnv, m_ConfigEnv;
};

} // namespace utiltest
