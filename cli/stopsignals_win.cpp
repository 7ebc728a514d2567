#include "interrupt.h"

#include <windows.h>

namespace cli {

namespace {

// Runs on a thread the system starts for each console event.
BOOL WINAPI onConsoleEvent(DWORD event)
{
    requestStop();
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
        // The system ends the process as soon as this returns. Held here,
        // the work stops between two transfers and the program ends by
        // itself, within the grace period the system gives.
        Sleep(INFINITE);
    }
    return TRUE; // handled: the process goes on to stop by itself
}

} // namespace

void catchStopSignals()
{
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

} // namespace cli
