#include "core/job/Trace.h"

#include <QByteArray>
#include <atomic>
#include <cstdarg>
#include <cstdio>

namespace {

std::atomic<bool> traceOn{true};

// The trace quotes pages and engine files: a control byte other than the
// line end and TAB is written as "\xNN", so it cannot drive a terminal.
void writeVisible(QByteArrayView text)
{
    static constexpr char Digits[] = "0123456789abcdef";
    QByteArray out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && c != '\n' && c != '\t') || byte == 0x7f) {
            out.append("\\x");
            out.append(Digits[byte >> 4]);
            out.append(Digits[byte & 0xf]);
        } else {
            out.append(c);
        }
    }
    fwrite(out.constData(), 1, size_t(out.size()), stderr);
}

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
    va_list again;
    va_copy(again, arguments);
    const int size = vsnprintf(nullptr, 0, format, arguments);
    va_end(arguments);
    if (size > 0) {
        QByteArray text(size, Qt::Uninitialized);
        vsnprintf(text.data(), size_t(size) + 1, format, again);
        writeVisible(text);
    }
    va_end(again);
}

void Trace::write(QByteArrayView text)
{
    if (enabled())
        writeVisible(text);
}
