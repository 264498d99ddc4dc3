#pragma once

#include <QByteArray>
#include <QtGlobal>

// One TCP stream connection over a POSIX socket. Every wait is bounded:
// connecting and writing by the time-out given to open(), reading by the
// time-out given to waitReadable(). A TLS variant derives from this class and
// works on the same descriptor; HttpClient only uses the virtual interface.
class Connection
{
public:
    Connection();
    virtual ~Connection(); // closes the socket
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    // Resolves the host with the system resolver (IPv4 and IPv6, thread-safe)
    // and connects to the first address that answers, trying each address for
    // at most timeoutMs. False when the name does not resolve or no address
    // accepts the connection.
    virtual bool open(const QByteArray &host, int port, int timeoutMs);
    // Writes every byte; false on an error or when the peer takes nothing
    // for timeoutMs.
    virtual bool writeAll(const char *data, qint64 size);
    // True when bytes (or the end of the stream) can be read now or arrive
    // within timeoutMs.
    virtual bool waitReadable(int timeoutMs);
    // One read of at most maxSize bytes: the count read, 0 when the peer has
    // closed the stream, -1 on an error.
    virtual qint64 read(char *buffer, qint64 maxSize);

    bool isOpen() const { return m_fd >= 0; }
    int descriptor() const { return m_fd; }

protected:
    void closeSocket();
    // poll() on the socket for the events, restarted after a signal: above 0
    // when one is ready, 0 when timeoutMs passed, -1 on an error.
    int pollSocket(short events, int timeoutMs) const;

private:
    int m_fd = -1;
};
