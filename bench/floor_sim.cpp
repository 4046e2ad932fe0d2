// tarnvik-floor-sim: tarnvik-floor (floor.c) on the in-process virtual device,
// against one simulated board (the device model of sim/otamodel behind the
// stand-in for hidapi), as the suites and tarnvik-bench run the tool. After
// the last transfer the board's verdict must be good.
// FLOOR_SIM_SILENT=N: the board leaves packet N unanswered; with
// FLOOR_SIM_HELD_BACK set too, it answers packet N + 1 twice, which is how a
// report held back on the way and brought in by the next one looks to the
// program.
#include "floor.h"
#include "otasim.h"

#include <cstdio>
#include <cstdlib>

int main(int argc, char **argv)
{
    vhid::DeviceInfo info = sim::boardInfo("sim:floor");
    info.serial = L"SIM-FLOOR";
    sim::Script script;
    if (const char *silent = std::getenv("FLOOR_SIM_SILENT")) {
        const auto packet = uint32_t(std::strtoul(silent, nullptr, 10));
        script.perPacket[packet] = sim::Reply::Silent;
        if (std::getenv("FLOOR_SIM_HELD_BACK"))
            script.perPacket[packet + 1] = sim::Reply::DoubleAck;
    }
    const sim::Board board = sim::plugBoard(info, script);
    const int status = floor_main(argc, argv);
    const std::string verdict = board.model->verdictText();
    std::printf("floor: board verdict %s\n", verdict.c_str());
    if (status == 0 && !board.model->verdict().good())
        return 1;
    return status;
}
