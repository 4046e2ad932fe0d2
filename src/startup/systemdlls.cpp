#include "systemdlls.h"

#ifdef _WIN32
#include <windows.h>

// SetDefaultDllDirectories is looked up at run time: a Windows 7 without
// update KB2533623 lacks it, and there only the current folder is taken out
// of the search.
void LoadSystemDllsFromSystem32Only()
{
    using SetDefaultDllDirectoriesFn = BOOL(WINAPI *)(DWORD);
    const auto setDefault = reinterpret_cast<SetDefaultDllDirectoriesFn>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
    if (setDefault)
        setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32);
    SetDllDirectoryW(L"");
}
#else
void LoadSystemDllsFromSystem32Only()
{
}
#endif
