#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

struct ssl_ctx_st;
struct ssl_st;

// A local HTTP peer for tests: listens on 127.0.0.1 on a free port and, on its
// own threads, answers each connection with a script of steps. It first reads
// the request (up to the empty line that ends its header) and records it, then
// picks the script: a route whose path matches the request target, else the
// next queued script, else the fallback script, else it just closes.
//
//     ScriptedServer server;
//     server.addResponse({Step::send("HTTP/1.0 200 OK\r\n\r\nhi"), Step::close()});
//     QVERIFY(server.start());
//     ... client.get(server.url("/page")) ...
//     QCOMPARE(server.requests().first(), expectedRequestBytes);
//
// In TLS mode every connection starts with a TLS handshake; the steps then
// go through TLS, and a close sends close_notify first. A connection whose
// handshake fails is recorded with no bytes.
class ScriptedServer
{
public:
    struct Step
    {
        enum Kind { Send, Pause, Close, Stall, Await };
        Kind kind = Close;
        QByteArray bytes;
        int ms = 0;

        static Step send(const QByteArray &bytes) { return {Send, bytes, 0}; }
        static Step pause(int ms) { return {Pause, {}, ms}; }
        // Closes the connection; a script that runs out closes it too.
        static Step close() { return {Close, {}, 0}; }
        // Holds the connection open, sending nothing, until the peer closes it.
        static Step stall() { return {Stall, {}, 0}; }
        // Waits until the test calls proceed(); each call releases one wait.
        static Step await() { return {Await, {}, 0}; }
    };
    using Script = QList<Step>;

    ScriptedServer();
    ~ScriptedServer(); // stops
    ScriptedServer(const ScriptedServer &) = delete;
    ScriptedServer &operator=(const ScriptedServer &) = delete;

    // Scripts for the following connections, one each, in accept order.
    void addResponse(const Script &script);
    // The script for every connection once the queued ones are used up.
    void setFallback(const Script &script);
    // The script for every request whose target has this path ("/a/b?q",
    // also when the target is a whole URL, as a proxy receives it).
    void setRoute(const QByteArray &path, const Script &script);

    // TLS mode with the certificate chain and the key of these PEM files;
    // call before start(). False when they cannot be loaded.
    bool setTls(const QByteArray &certificateFile, const QByteArray &keyFile);

    bool start();
    // Ends every connection and joins the threads; a stalled step ends too.
    void stop();
    void proceed();

    quint16 port() const { return m_port; }
    // "http://127.0.0.1:PORT" (https in TLS mode) followed by the path.
    QByteArray url(const QByteArray &path = QByteArrayLiteral("/")) const;
    // The bytes each connection received, in accept order.
    QList<QByteArray> requests() const;
    int connectionCount() const;

    // A complete response: status line, Content-Length, the extra header
    // lines (each ending in "\r\n"), the body, then close.
    static Script reply(int status, const QByteArray &body, const QByteArray &extraHeaders = {});
    // The bytes of a 200 answer with its Content-Length, for scripts that send it in parts.
    static QByteArray okAnswer(const QByteArray &body);
    // The target of a recorded request line ("/path" or a whole URL).
    static QByteArray target(const QByteArray &request);

private:
    struct Peer;

    void acceptLoop();
    void serve(int fd, qsizetype index);
    Script pickScript(const QByteArray &request);
    bool runStep(Peer &peer, qsizetype index, const Step &step);
    void record(qsizetype index, const QByteArray &bytes);

    mutable std::mutex m_mutex;
    QList<Script> m_queue;
    Script m_fallback;
    bool m_hasFallback = false;
    QHash<QByteArray, Script> m_routes;
    QList<QByteArray> m_requests;
    std::vector<std::thread> m_threads;
    std::thread m_acceptThread;
    ssl_ctx_st *m_tls = nullptr;
    int m_listenFd = -1;
    int m_stopPipe[2] = {-1, -1};
    int m_gatePipe[2] = {-1, -1};
    quint16 m_port = 0;
};
