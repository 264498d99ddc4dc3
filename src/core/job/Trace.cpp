#include "core/job/Trace.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

namespace {

std::atomic<bool> traceOn{true};

} // namespace

void Trace::setEnabled(bool on)
{
    traceOn.store(on, std::memory_order_relaxed);
}

bool Trace::enabled()
{
    return traceOn.load(std::memory_order_relaxed);
}

void Trace::print(const char *format, ...)
{
    if (!enabled())
        return;
    va_list arguments;
    va_start(arguments, format);
    vfprintf(stderr, format, arguments);
    va_end(arguments);
}

void Trace::write(QByteArrayView text)
{
    if (enabled())
        fwrite(text.data(), 1, size_t(text.size()), stderr);
}
