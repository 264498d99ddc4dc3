#pragma once

#include <atomic>

// SIGINT and SIGTERM set one flag, which the commands look at while they
// wait: the jobs take it as a stop request, and "get" hands it to its client
// as the stop flag. An interrupted command ends with ExitCode.
class InterruptFlag
{
public:
    static constexpr int ExitCode = 130;

    // Installs the handlers; they only store into the flag.
    static void install();
    static const std::atomic<int> *flag();
    static bool raised() { return flag()->load(std::memory_order_relaxed) != 0; }
};
