// The console program on simulated boards: the same command line and code as
// tarnvik-upgrade, linked against the virtual HID devices instead of hidapi,
// with three identical boards attached (1a2b:00ff, serials SIM-1 to SIM-3)
// that speak the upgrade protocol. For trying the command line without
// hardware:
//   tarnvik-upgrade-sim list
//   tarnvik-upgrade-sim upgrade --device 1a2b:00ff --all --image FILE --interval 5
#include "otasim.h"
#include "upgradecli.h"

#include <string>
#include <vector>

int main(int argc, char *argv[])
{
    std::vector<sim::Board> boards;
    for (int i = 1; i <= 3; ++i) {
        vhid::DeviceInfo info = sim::boardInfo("sim:board-" + std::to_string(i), 0x1a2b, 0x00ff, L"Demo Board");
        info.serial = L"SIM-" + std::to_wstring(i);
        boards.push_back(sim::plugBoard(info));
    }
    UpgradeCli::SetProgramName(QStringLiteral("tarnvik-upgrade-sim"));
    return UpgradeCli::Main(argc, argv);
}
