#include <windows.h>

#include <dlfcn.h>
#include <link.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

bool EndsWithNoCase(const std::string &text, const char *suffix)
{
    size_t n = strlen(suffix);
    return text.size() >= n && strcasecmp(text.c_str() + text.size() - n, suffix) == 0;
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

bool IsFile(const std::string &path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The shared objects that may stand for a DLL name, in the order they are tried.
// Entries without '/' go through the dynamic loader's own search.
std::vector<std::string> Candidates(const std::string &name)
{
    if (name.find('/') != std::string::npos && EndsWithNoCase(name, ".so"))
        return {name};

    size_t cut = name.find_last_of("/\\:");
    std::string stem = cut == std::string::npos ? name : name.substr(cut + 1);
    if (EndsWithNoCase(stem, ".dll"))
        stem.resize(stem.size() - 4);
    if (stem.empty())
        return {};

    std::vector<std::string> out;
    std::string dir = ExecutableDirectory();
    if (!dir.empty()) {
        out.push_back(dir + "/lib" + stem + ".so");
        out.push_back(dir + "/" + stem + ".so");
    }
    out.push_back("lib" + stem + ".so");
    out.push_back(stem + ".so");
    return out;
}

} // namespace

extern "C" HMODULE WINAPI LoadLibraryA(LPCSTR fileName)
{
    if (fileName == nullptr || fileName[0] == '\0') {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    DWORD error = ERROR_MOD_NOT_FOUND;
    for (const std::string &candidate : Candidates(fileName)) {
        bool searched = candidate.find('/') == std::string::npos;
        if (!searched && !IsFile(candidate))
            continue;
        void *handle = ::dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle != nullptr)
            return reinterpret_cast<HMODULE>(handle);
        // A file that is there but does not load is a bad image; a name the
        // loader could not find at all stays "not found".
        if (!searched)
            error = ERROR_BAD_FORMAT;
    }
    SetLastError(error);
    return nullptr;
}

extern "C" FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR procName)
{
    if (module == nullptr || procName == nullptr || (reinterpret_cast<ULONG_PTR>(procName) >> 16) == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    ::dlerror();
    void *symbol = ::dlsym(reinterpret_cast<void *>(module), procName);
    if (symbol == nullptr) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(symbol);
}

extern "C" BOOL WINAPI FreeLibrary(HMODULE module)
{
    if (module == nullptr || ::dlclose(reinterpret_cast<void *>(module)) != 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

extern "C" DWORD WINAPI GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size)
{
    if (fileName == nullptr || size == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::string path;
    if (module == nullptr) {
        char buffer[4096];
        ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
        if (n > 0)
            path.assign(buffer, static_cast<size_t>(n));
    } else {
        struct link_map *map = nullptr;
        if (::dlinfo(reinterpret_cast<void *>(module), RTLD_DI_LINKMAP, &map) == 0 && map != nullptr &&
            map->l_name != nullptr)
            path = map->l_name;
    }
    if (path.empty()) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    // As on Windows: a short buffer gets the truncated, terminated path and
    // the full size as the result with ERROR_INSUFFICIENT_BUFFER.
    if (path.size() + 1 > size) {
        memcpy(fileName, path.data(), size - 1);
        fileName[size - 1] = '\0';
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    memcpy(fileName, path.c_str(), path.size() + 1);
    return static_cast<DWORD>(path.size());
}
