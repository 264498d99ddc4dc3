#pragma once

#include <QByteArrayView>

// The jobs' trace: the lines that follow a search or a download step by step
// (start blocks, request URLs, marker cuts, failures as they happen). It goes
// to standard error; a front end that keeps standard error for its own
// messages turns it off. Warnings about the user's files (settings, engines,
// the list) are not trace and are always printed. Control bytes but LF and
// TAB are written as "\xNN". Any thread.
class Trace
{
public:
    static void setEnabled(bool on);
    static bool enabled();

    static void print(const char *format, ...) __attribute__((format(printf, 1, 2)));
    static void write(QByteArrayView text);
};
