#include "machine.h"

#include "procfs.h"

#include <QtGlobal>

#include <cstdio>

#include <sched.h>
#include <sys/prctl.h>
#include <sys/utsname.h>

namespace bench {

Machine Machine::probe()
{
    Machine m;
    m.cpu = firstField("/proc/cpuinfo", "model name");
    m.logicalCpus = countLines("/proc/cpuinfo", "processor");
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0)
        m.usableCpus = CPU_COUNT(&set);
    m.hypervisor = firstField("/proc/cpuinfo", "flags").find("hypervisor") != std::string::npos;
    utsname u;
    if (uname(&u) == 0)
        m.kernel = std::string(u.sysname) + " " + u.release + " " + u.machine;
    m.qtRuntime = qVersion();
    m.timerSlackNs = prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
    return m;
}

std::string Machine::tag() const
{
    return cpu + ", " + std::to_string(usableCpus) + " cores, " + kernel + ", Qt " + qtRuntime + ", "
           + buildType;
}

void Machine::print() const
{
    std::printf("Machine\n");
    std::printf("  CPU          %s%s\n", cpu.c_str(), hypervisor ? " (virtual machine)" : "");
    std::printf("  cores        %d logical, %d usable by this process\n", logicalCpus, usableCpus);
    std::printf("  kernel       %s\n", kernel.c_str());
    std::printf("  Qt           %s at run time, %s at build time, platform offscreen\n", qtRuntime.c_str(),
                QT_VERSION_STR);
    std::printf("  build        %s, %s\n", buildType.c_str(), compiler.c_str());
    std::printf("  timer slack  %ld ns\n", timerSlackNs);
}

} // namespace bench
