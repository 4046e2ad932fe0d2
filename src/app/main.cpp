#include "highdpi.h"
#include "widget.h"

#include <QApplication>

#ifdef Q_OS_WIN
#include <windows.h>

namespace {

// Windows looks for a DLL loaded by its bare name in the program's own folder
// first, and for the DLLs that are not among its known DLLs that folder wins:
// a hid.dll or version.dll left beside the exe (a Downloads folder, a USB
// stick) would run inside the tool. hidapi loads hid.dll and cfgmgr32.dll by
// name, and the program's other non-known system DLLs are delay-loaded (see
// CMakeLists.txt), so that this runs before any of them is looked up: from
// here on DLLs come from System32 only. SetDefaultDllDirectories is looked
// up at run time: a Windows 7 without update KB2533623 lacks it, and there
// only the current folder is taken out of the search.
void LoadSystemDllsFromSystem32Only()
{
    using SetDefaultDllDirectoriesFn = BOOL(WINAPI *)(DWORD);
    const auto setDefault = reinterpret_cast<SetDefaultDllDirectoriesFn>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
    if (setDefault)
        setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32);
    SetDllDirectoryW(L"");
}

} // namespace
#endif

int main(int argc, char *argv[])
{
#ifdef Q_OS_WIN
    LoadSystemDllsFromSystem32Only();
#endif
    EnableHighDpiScaling();
    QApplication app(argc, argv);
    Widget window;
    window.show();
    return app.exec();
}
