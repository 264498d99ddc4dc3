#include "cli/InterruptFlag.h"

#include <csignal>

namespace {

// A lock-free atomic is the one thing a signal handler may safely store to.
std::atomic<int> interrupted{0};
static_assert(std::atomic<int>::is_always_lock_free);

void onSignal(int)
{
    interrupted.store(1, std::memory_order_relaxed);
}

} // namespace

void InterruptFlag::install()
{
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

const std::atomic<int> *InterruptFlag::flag()
{
    return &interrupted;
}
