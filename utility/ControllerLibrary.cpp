#include <afxwin.h>

#include "ControllerLibrary.h"

namespace {

template <class T>
void Bind(HMODULE module, const char *name, T &pointer)
{
    pointer = reinterpret_cast<T>(reinterpret_cast<void *>(GetProcAddress(module, name)));
    if (pointer == nullptr)
        TRACE("Failed to load \"%s\" Function\n", name);
}

} // namespace

BOOL CControllerLibrary::Load()
{
    m_hModule = LoadLibraryA("VESKARDIN.DLL");
    if (m_hModule == nullptr)
        return FALSE;

    Bind(m_hModule, "GnLoadDevice", GnLoadDevice);
    Bind(m_hModule, "GnUnloadDevice", GnUnloadDevice);
    Bind(m_hModule, "GnPortMode_Set", GnPortMode_Set);
    Bind(m_hModule, "GnPortMode_Get", GnPortMode_Get);
    Bind(m_hModule, "GnPort422485_Set", GnPort422485_Set);
    Bind(m_hModule, "GnPort422485_Get", GnPort422485_Get);
    Bind(m_hModule, "GnProductId_Get", GnProductId_Get);
    Bind(m_hModule, "GnResetUart", GnResetUart);
    Bind(m_hModule, "GnResetPort", GnResetPort);
    Bind(m_hModule, "GetResources", GetResources);
    Bind(m_hModule, "ReadMemPortDW", ReadMemPortDW);
    Bind(m_hModule, "WriteMemPortDW", WriteMemPortDW);
    Bind(m_hModule, "GnGetInterfaceState_SRC", GnGetInterfaceState_SRC);
    return TRUE;
}

void CControllerLibrary::Unload()
{
    if (m_hModule != nullptr)
        FreeLibrary(m_hModule);
    *this = CControllerLibrary();
}
