#pragma once

#include <QByteArray>
#include <cstdio>

// Redirects standard error (the fd and the stdio stream) into a temporary
// file for the life of the object; text() returns what was written so far.
class StderrCapture
{
public:
    StderrCapture();
    ~StderrCapture();
    StderrCapture(const StderrCapture &) = delete;
    StderrCapture &operator=(const StderrCapture &) = delete;

    QByteArray text() const;

private:
    int m_savedFd = -1;
    FILE *m_file = nullptr;
};
