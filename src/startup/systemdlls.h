#ifndef SYSTEMDLLS_H
#define SYSTEMDLLS_H

// Windows looks for a DLL loaded by its bare name in the program's own folder
// first, and for the DLLs that are not among its known DLLs that folder wins:
// a hid.dll or version.dll left beside the exe (a Downloads folder, a USB
// stick) would run inside the tool. hidapi loads hid.dll and cfgmgr32.dll by
// name, and the programs' other non-known system DLLs are delay-loaded (see
// cmake/delayload.cmake), so that this runs, first thing in main, before any
// of them is looked up: from then on DLLs come from System32 only.
// Elsewhere it does nothing.
void LoadSystemDllsFromSystem32Only();

#endif // SYSTEMDLLS_H
