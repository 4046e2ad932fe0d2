// tarnvik-floor-sim: tarnvik-floor (floor.c) on the in-process virtual device,
// against one simulated board (the device model of sim/otamodel behind the
// stand-in for hidapi), as the suites and tarnvik-bench run the tool. After
// the last transfer the board's verdict must be good.
#include "floor.h"
#include "otasim.h"

#include <cstdio>

int main(int argc, char **argv)
{
    vhid::DeviceInfo info = sim::boardInfo("sim:floor");
    info.serial = L"SIM-FLOOR";
    const sim::Board board = sim::plugBoard(info);
    const int status = floor_main(argc, argv);
    const std::string verdict = board.model->verdictText();
    std::printf("floor: board verdict %s\n", verdict.c_str());
    if (status == 0 && !board.model->verdict().good())
        return 1;
    return status;
}
