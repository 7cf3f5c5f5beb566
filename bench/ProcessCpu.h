// CPU time of another process, for the benchmarks that run the whole program.
#pragma once

#include <QtGlobal>

#include <unistd.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

// utime + stime of process `pid` (all its threads), in seconds; 0 when it is gone.
inline double CpuSecondsOf(qint64 pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto close = text.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    // Fields from 3 (state) on; utime and stime are fields 14 and 15.
    for (int n = 3; n <= 15 && fields >> field; ++n) {
        if (n == 14)
            utime = std::stoull(field);
        if (n == 15)
            stime = std::stoull(field);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}
