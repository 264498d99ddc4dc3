#include "StderrCapture.h"

#include <unistd.h>

StderrCapture::StderrCapture()
{
    fflush(stderr);
    m_file = tmpfile();
    m_savedFd = dup(STDERR_FILENO);
    if (m_file)
        dup2(fileno(m_file), STDERR_FILENO);
}

StderrCapture::~StderrCapture()
{
    fflush(stderr);
    if (m_savedFd >= 0) {
        dup2(m_savedFd, STDERR_FILENO);
        close(m_savedFd);
    }
    if (m_file)
        fclose(m_file);
}

QByteArray StderrCapture::text() const
{
    fflush(stderr);
    if (!m_file)
        return {};
    QByteArray result;
    const long end = lseek(fileno(m_file), 0, SEEK_END);
    result.resize(end);
    if (end > 0 && pread(fileno(m_file), result.data(), size_t(end), 0) != end)
        return {};
    return result;
}
