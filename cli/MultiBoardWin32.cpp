// Several boards at once needs a process per board with its output piped back; this
// system's build does not have that runner yet.
#include <cstdio>

#include "MultiBoard.h"

int RunOnEachPort(const std::string&, const std::vector<std::string>&,
                  const std::vector<std::string>&, bool) {
    std::fputs(
        "kestrel-isp: several boards at once is not available on Windows; "
        "run one kestrel-isp per port\n",
        stderr);
    return 2;
}

void ReportChipToParent(const std::string&) {}
