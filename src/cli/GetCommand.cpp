#include "cli/Commands.h"
#include "cli/InterruptFlag.h"
#include "cli/Printable.h"
#include "core/config/Settings.h"
#include "core/download/DownloadWorker.h"
#include "core/net/CookieJar.h"
#include "core/net/HttpClient.h"
#include "core/net/ResultCode.h"

#include <QFile>
#include <cstdio>

namespace {

bool writeOut(FILE *out, HttpClient &client)
{
    const bool written = fwrite(client.data(), 1, size_t(client.bufferedBytes()), out) ==
                         size_t(client.bufferedBytes());
    client.clearBuffer();
    return written;
}

} // namespace

int Cli::get(const QStringList &args)
{
    QString url;
    QString outputPath;
    QString caFile;
    for (qsizetype i = 0; i < args.size(); ++i) {
        if (args[i] == QLatin1String("-o") && i + 1 < args.size() && outputPath.isEmpty()) {
            outputPath = args[++i];
        } else if (args[i] == QLatin1String("--cafile") && i + 1 < args.size() &&
                   caFile.isEmpty()) {
            caFile = args[++i];
        } else if (url.isEmpty() && !args[i].startsWith(QLatin1Char('-'))) {
            url = args[i];
        } else {
            printUsage(stderr);
            return 2;
        }
    }
    if (url.isEmpty()) {
        printUsage(stderr);
        return 2;
    }

    FILE *out = stdout;
    if (!outputPath.isEmpty()) {
        out = fopen(QFile::encodeName(outputPath).constData(), "wb");
        if (!out) {
            fprintf(stderr, "zindle-cli: cannot open %s\n", qPrintable(outputPath));
            return 1;
        }
    }

    // Set up as the jobs set up their clients, with a jar for the cookies
    // that redirect hops set.
    HttpClient client;
    {
        Settings settings;
        settings.configureClient(client);
        if (!caFile.isEmpty())
            client.setCaFile(QFile::encodeName(caFile));
    }
    CookieJar jar;
    client.setCookieJar(&jar);
    client.setStopFlag(InterruptFlag::flag());
    client.setBinaryMode(true);

    // The body is written out as it arrives, never held whole.
    bool written = true;
    int code = client.get(url.toLocal8Bit());
    if (code >= 0) {
        for (;;) {
            code = client.receive();
            if (client.bufferedBytes() > DownloadWorker::FlushThreshold)
                written = writeOut(out, client) && written;
            if (code != ResultCode::ReceiveAgain && code != ResultCode::BufferFull)
                break;
        }
        if (client.bufferedBytes() > 0)
            written = writeOut(out, client) && written;
    }
    if (fflush(out) != 0)
        written = false;
    if (out != stdout && fclose(out) != 0)
        written = false;

    fprintf(stderr, "status=%d length=%lld received=%lld code=%d\n", client.statusCode(),
            static_cast<long long>(client.contentLength()),
            static_cast<long long>(client.receivedBytes()), code);
    // Without -v the trace is off: the reason of a failure still shows.
    if (code < 0 && code != ResultCode::Stopped && !client.errorString().isEmpty())
        fprintf(stderr, "zindle-cli: %s\n", Printable::text(client.errorString()).constData());
    if (!written) {
        fprintf(stderr, "zindle-cli: cannot write the body\n");
        return 1;
    }
    if (InterruptFlag::raised())
        return InterruptFlag::ExitCode;
    const bool success =
        code == ResultCode::BodyComplete && client.statusCode() >= 200 && client.statusCode() < 300;
    return success ? 0 : 1;
}
