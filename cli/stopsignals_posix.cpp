#include "interrupt.h"

#include <csignal>

namespace cli {

namespace {

extern "C" void onStopSignal(int)
{
    requestStop();
}

} // namespace

void catchStopSignals()
{
    std::signal(SIGINT, onStopSignal);
    std::signal(SIGTERM, onStopSignal);
    std::signal(SIGHUP, onStopSignal);
    // A write to a pipe without a reader fails (EPIPE) instead of killing
    // the program: device work goes on to its end.
    std::signal(SIGPIPE, SIG_IGN);
    // A file past the size limit (ulimit -f) fails its write with "File too
    // large" instead of killing the process with its temporary left behind.
    std::signal(SIGXFSZ, SIG_IGN);
}

} // namespace cli
