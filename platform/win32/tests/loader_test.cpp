#include <windows.h>

#include <gtest/gtest.h>

#include <string>

namespace {

typedef int (*AnswerFn)(int);

std::string ExeDir()
{
    char path[4096];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof(path));
    std::string p(path, n);
    return p.substr(0, p.rfind('/'));
}

TEST(Loader, DllNameFindsTheSharedObjectBesideTheExecutable)
{
    HMODULE module = LoadLibraryA("W32TESTMOD.DLL");
    ASSERT_NE(module, nullptr) << GetLastError();
    auto answer = reinterpret_cast<AnswerFn>(reinterpret_cast<void *>(GetProcAddress(module, "W32TestAnswer")));
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer(20), 41);

    char path[4096];
    DWORD n = GetModuleFileNameA(module, path, sizeof(path));
    ASSERT_GT(n, 0u);
    EXPECT_EQ(std::string(path, n), ExeDir() + "/libW32TESTMOD.so");
    EXPECT_TRUE(FreeLibrary(module));
}

struct NameCase {
    const char *name;
    bool loads;
};

TEST(Loader, NameMapping)
{
    std::string full = ExeDir() + "/libW32TESTMOD.so";
    const NameCase cases[] = {
        {"W32TESTMOD.DLL", true},
        {"W32TESTMOD.dll", true},          // the extension in any case
        {"W32TESTMOD", true},              // no extension
        {"C:\\Windows\\W32TESTMOD.DLL", true}, // the directory part is dropped
        {full.c_str(), true},              // a path to a shared object as it is
        {"w32testmod.dll", false},         // the stem keeps its case
        {"NOSUCHMOD.DLL", false},
        {".dll", false},
    };
    for (const NameCase &c : cases) {
        SCOPED_TRACE(c.name);
        SetLastError(0);
        HMODULE module = LoadLibraryA(c.name);
        if (c.loads) {
            ASSERT_NE(module, nullptr);
            EXPECT_TRUE(FreeLibrary(module));
        } else {
            EXPECT_EQ(module, nullptr);
            EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
        }
    }
}

TEST(Loader, MissingSymbolAndBadArguments)
{
    HMODULE module = LoadLibraryA("W32TESTMOD.DLL");
    ASSERT_NE(module, nullptr);
    SetLastError(0);
    EXPECT_EQ(GetProcAddress(module, "NoSuchFunction"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);
    EXPECT_EQ(GetProcAddress(module, nullptr), nullptr);
    EXPECT_EQ(GetProcAddress(nullptr, "W32TestAnswer"), nullptr);
    EXPECT_TRUE(FreeLibrary(module));

    EXPECT_EQ(LoadLibraryA(nullptr), nullptr);
    EXPECT_EQ(LoadLibraryA(""), nullptr);
    EXPECT_FALSE(FreeLibrary(nullptr));
}

TEST(Loader, ShortBufferGetsTruncatedPath)
{
    char path[8];
    SetLastError(0);
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof(path));
    EXPECT_EQ(n, sizeof(path));
    EXPECT_EQ(path[sizeof(path) - 1], '\0');
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
}

} // namespace
