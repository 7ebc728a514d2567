#pragma once
// The exit statuses of vr480-cli, which the outcome table gives each run:
// the one table that --help prints and docs/command-line.md copies.

enum ExitStatus {
    ExitOk = 0,
    ExitDeviceFailed = 1,
    ExitUsage = 2,
    ExitBadInput = 3,
    ExitCannotWrite = 4,
    ExitNoDevice = 5,
    ExitDiffers = 6,
    ExitInterrupted = 130,
};

struct ExitStatusMeaning {
    ExitStatus status;
    const char *meaning;
};

inline constexpr ExitStatusMeaning kExitStatuses[] = {
    {ExitOk, "done"},
    {ExitDeviceFailed, "the device failed an operation or its verification, or its upgrade could not be proven"},
    {ExitUsage, "wrong usage: unknown command, missing or invalid argument, --serial needed"},
    {ExitBadInput, "an input file cannot be read or is refused"},
    {ExitCannotWrite, "an output file cannot be written"},
    {ExitNoDevice, "no VR480 found, or this user may not open it"},
    {ExitDiffers, "verify: the device was read, and it does not hold the upgrade file's firmware"},
    {ExitInterrupted, "interrupted (Ctrl+C or a termination signal)"},
};
