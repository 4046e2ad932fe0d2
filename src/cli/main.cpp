// tarnvik-upgrade: the console program (see upgradecli.h).
#include "systemdlls.h"
#include "upgradecli.h"

int main(int argc, char *argv[])
{
    LoadSystemDllsFromSystem32Only();
    return UpgradeCli::Main(argc, argv);
}
