#include "procfs.h"

#include "clocks.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include <dirent.h>
#include <unistd.h>

namespace bench {

std::string firstField(const char *path, const char *key)
{
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, std::strlen(key), key) == 0) {
            const auto colon = line.find(':');
            if (colon != std::string::npos) {
                std::string value = line.substr(colon + 1);
                value.erase(0, value.find_first_not_of(" \t"));
                return value;
            }
        }
    }
    return "unknown";
}

int countLines(const char *path, const char *key)
{
    std::ifstream in(path);
    std::string line;
    int n = 0;
    while (std::getline(in, line))
        n += line.compare(0, std::strlen(key), key) == 0;
    return n;
}

long statusKb(const char *key)
{
    const std::string value = firstField("/proc/self/status", key);
    return value == "unknown" ? -1 : std::atol(value.c_str());
}

void LoadMeter::start()
{
    read(busy0, total0);
    own0 = processCpuNs();
    wall0 = nowNs();
}

void LoadMeter::stop()
{
    int64_t busy1, total1;
    read(busy1, total1);
    const int64_t wall = nowNs() - wall0;
    const double cpus = double(std::max(1L, sysconf(_SC_NPROCESSORS_ONLN)));
    own = double(processCpuNs() - own0) / double(wall);
    const double machine = total1 > total0 ? cpus * double(busy1 - busy0) / double(total1 - total0) : 0;
    others = std::max(0.0, machine - own);
}

void LoadMeter::read(int64_t &busy, int64_t &total)
{
    std::ifstream in("/proc/stat");
    std::string cpu;
    int64_t v[8] = {};
    in >> cpu;
    for (int64_t &x : v)
        in >> x;
    total = 0;
    for (int64_t x : v)
        total += x;
    busy = total - v[3] - v[4]; // less idle and iowait
}

std::map<int, ThreadTime> threadTimes()
{
    std::map<int, ThreadTime> result;
    DIR *dir = opendir("/proc/self/task");
    if (!dir)
        return result;
    while (dirent *entry = readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        const int tid = std::atoi(entry->d_name);
        const std::string base = std::string("/proc/self/task/") + entry->d_name;
        ThreadTime t;
        std::ifstream comm(base + "/comm");
        std::getline(comm, t.name);
        std::ifstream sched(base + "/schedstat");
        int64_t wait = 0;
        sched >> t.runNs >> wait >> t.slices;
        result[tid] = t;
    }
    closedir(dir);
    return result;
}

} // namespace bench
