#include "cli/Commands.h"
#include "cli/ExplainText.h"
#include "cli/InterruptFlag.h"
#include "cli/Printable.h"
#include "core/config/AtomicFile.h"
#include "core/config/BoundedFile.h"
#include "core/config/Engine.h"
#include "core/config/Settings.h"
#include "core/download/DownloadListFile.h"
#include "core/download/HistoryFile.h"
#include "core/extract/ScanExplain.h"
#include "core/net/HttpClient.h"
#include "core/net/ResultCode.h"
#include "core/search/SearchWorker.h"

#include <QFile>
#include <QFileInfo>
#include <cstdio>

namespace {

constexpr int PollMs = 100;

// An index into the table, else the engine with that "engine_id::"; -1 when neither.
int engineOf(const Settings &settings, const QString &name)
{
    bool isNumber = false;
    const int index = name.toInt(&isNumber);
    if (isNumber && index >= 0 && index < settings.engineCount())
        return index;
    const Engine *found = settings.findEngine(name.toLocal8Bit());
    for (int i = 0; found && i < settings.engineCount(); ++i) {
        if (settings.engine(i) == found)
            return i;
    }
    return -1;
}

int modeOf(const QString &name)
{
    const QString mode = name.toLower();
    if (mode == QLatin1String("title"))
        return SearchWorker::ByTitle;
    if (mode == QLatin1String("user"))
        return SearchWorker::ByUser;
    if (mode == QLatin1String("url"))
        return SearchWorker::Direct;
    return -1;
}

// One hit per line: control bytes in a text (a tab, CR or LF that would split
// it included) are printed as "\xNN".
QByteArray lineOf(const ResultRow &row)
{
    QByteArray line;
    for (int column = 0; column < ResultRow::ColumnCount; ++column) {
        if (column > 0)
            line.append('\t');
        line.append(Printable::text(row[column]));
    }
    return line.append('\n');
}

// Whether the download list of the work directory can take hits: false when
// it cannot be read whole (it must then not be replaced by the hits); no file
// yet is an empty list.
bool listUsable(const QByteArray &workDir)
{
    QList<ResultRow> fileRows;
    QString error;
    const DownloadListFile::LoadStatus status = DownloadListFile::load(workDir, &fileRows, &error);
    switch (status) {
    case DownloadListFile::LoadStatus::Read:
        return true;
    case DownloadListFile::LoadStatus::Missing:
        fputc('\n', stderr);
        return true;
    case DownloadListFile::LoadStatus::Partial:
        fprintf(stderr, "%s: %s\n", DownloadListFile::path(workDir).constData(),
                error.toLocal8Bit().constData());
        return false;
    case DownloadListFile::LoadStatus::Failed:
        fputc('\n', stderr);
        return false;
    }
    return false;
}

// Copies the hits (in page order) into the shown list as "List up" does with
// every hit selected: the result list shows the page's last hit on top, and
// each copied hit goes to the head of the download list. Returns the count.
int addHits(const QList<ResultRow> &hits, QList<ResultRow> *shown)
{
    int added = 0;
    for (auto hit = hits.crbegin(); hit != hits.crend(); ++hit) {
        if (DownloadListFile::isListed(*shown, *hit))
            continue;
        shown->prepend(*hit);
        ++added;
    }
    return added;
}

int usage(const char *problem, const QString &value)
{
    fprintf(stderr, "zindle-cli search: %s \"%s\"\n", problem, Printable::local(value).constData());
    return 2;
}

// The page line and the scan explained, after the line naming the source.
void explain(const Settings &settings, int engineIndex, int mode, const SearchWorker::Page &page,
             const QString &pagePath, bool fileCut)
{
    const Engine *engine = settings.engine(engineIndex);
    if (!pagePath.isNull()) {
        ExplainText::print(stdout, "page file " + QFile::encodeName(pagePath));
        ExplainText::print(
            stdout,
            QByteArray::number(page.body.size()) + " bytes" +
                (fileCut ? ", cut at " + QByteArray::number(HttpClient::MaxPageBytes) + " bytes"
                         : QByteArray()));
    } else {
        if (page.url.isEmpty())
            return; // nothing was requested
        ExplainText::print(stdout, "request " + page.url);
        if (page.code == ResultCode::HttpStatus) {
            ExplainText::print(stdout, "status " + QByteArray::number(page.status) +
                                           ": not a 2xx answer, the page is not scanned");
            return;
        }
        if (page.code < 0) {
            ExplainText::print(stdout, "no page: network error " + QByteArray::number(page.code));
            return;
        }
        ExplainText::print(stdout,
                           ExplainText::pageLine(page.status, page.body.size(), page.cut()));
    }
    if (!engine)
        return;
    const EngineLint lint = ExplainText::lintOf(settings, *engine);
    ExplainText::print(stdout, ScanExplain::describe(page.body, *engine, mode, &lint));
}

} // namespace

int Cli::search(const QStringList &args)
{
    QString engineName;
    QString modeName;
    QString pageName;
    QString savePath;
    QString pagePath;
    QStringList words;
    bool add = false;
    bool explaining = false;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString &arg = args[i];
        QString *option = nullptr;
        if (arg == QLatin1String("--add")) {
            add = true;
            continue;
        }
        if (arg == QLatin1String("--explain")) {
            explaining = true;
            continue;
        }
        if (arg == QLatin1String("--save-page"))
            option = &savePath;
        else if (arg == QLatin1String("--page-file"))
            option = &pagePath;
        else if (arg == QLatin1String("--engine"))
            option = &engineName;
        else if (arg == QLatin1String("--mode"))
            option = &modeName;
        else if (arg == QLatin1String("--page"))
            option = &pageName;
        if (option) {
            if (i + 1 >= args.size() || !option->isNull()) {
                printUsage(stderr);
                return 2;
            }
            *option = args[++i];
        } else if (arg.startsWith(QLatin1String("--"))) {
            return usage("unknown option", arg);
        } else {
            words.append(arg);
        }
    }
    if (words.size() != 1 || words.first().isEmpty()) {
        printUsage(stderr);
        return 2;
    }
    if (!savePath.isNull() && !pagePath.isNull())
        return usage("a page file is not fetched, so it cannot be saved:", savePath);
    if ((!savePath.isNull() && savePath.isEmpty()) || (!pagePath.isNull() && pagePath.isEmpty()))
        return usage("empty file name", QString());

    int mode = SearchWorker::ByTitle;
    if (!modeName.isNull() && (mode = modeOf(modeName)) < 0)
        return usage("unknown mode", modeName);
    int page = 0;
    if (!pageName.isNull()) {
        bool isNumber = false;
        page = pageName.toInt(&isNumber);
        if (!isNumber || page < 0 || page >= Engine::PageCount) {
            const QByteArray problem =
                "page outside 0 to " + QByteArray::number(Engine::PageCount - 1);
            return usage(problem.constData(), pageName);
        }
    }

    Settings settings;
    // Without --engine the first engine is taken, as the dialog does; with no
    // engines loaded the search then ends as one without a template.
    int engine = 0;
    if (!engineName.isNull() && (engine = engineOf(settings, engineName)) < 0)
        return usage("unknown engine", engineName);

    // The list is read first: a work directory that cannot hold it costs no request.
    const QByteArray workDir = settings.workDir();
    if (add && !listUsable(workDir))
        return 1;

    SearchWorker::Options options;
    options.keepPage = explaining || !savePath.isNull();
    bool fileCut = false;
    if (!pagePath.isNull()) {
        QByteArray given;
        QString error;
        // Read as a fetched page is: at most HttpClient::MaxPageBytes.
        if (!BoundedFile::read(pagePath, HttpClient::MaxPageBytes, &given, &error)) {
            fprintf(stderr, "zindle-cli search: cannot read %s: %s\n",
                    Printable::local(pagePath).constData(), Printable::local(error).constData());
            return 1;
        }
        fileCut = given.size() > HttpClient::MaxPageBytes;
        if (fileCut)
            fprintf(stderr, "%s is larger than %d bytes: only its first %d are scanned\n",
                    Printable::local(pagePath).constData(), HttpClient::MaxPageBytes,
                    HttpClient::MaxPageBytes);
        options.givenPage = std::move(given);
    }

    QList<ResultRow> rows;
    SearchWorker::Outcome outcome;
    SearchWorker::Page fetched;
    {
        SearchWorker job(&settings, words.first().toLocal8Bit(), engine, mode, page,
                         std::move(options));
        while (!job.waitFinished(PollMs)) {
            if (InterruptFlag::raised())
                job.requestStop();
        }
        rows = job.rows();
        outcome = job.outcome();
        fetched = job.fetchedPage();
    }
    if (explaining && !InterruptFlag::raised())
        explain(settings, engine, mode, fetched, pagePath, fileCut);
    // A hit downloaded before shows "D" in column "V"; --add copies it as it came.
    const QHash<QByteArray, QByteArray> downloaded =
        rows.isEmpty() ? QHash<QByteArray, QByteArray>() : HistoryFile::downloadedDates(workDir);
    for (ResultRow row : std::as_const(rows)) {
        if (downloaded.contains(HistoryFile::keyOf(row[ResultRow::Type], row[ResultRow::Id])))
            row[ResultRow::State] = "D";
        fputs(lineOf(row).constData(), stdout);
    }
    fflush(stdout);
    fprintf(stderr, "%s\n", Printable::local(outcome.message).constData());
    if (!outcome.reason.isEmpty() && outcome.reason != outcome.message)
        fprintf(stderr, "%s\n", Printable::local(outcome.reason).constData());
    // An interrupted search adds nothing: its hits may be incomplete.
    if (InterruptFlag::raised())
        return InterruptFlag::ExitCode;
    // The page as it was scanned, even when it held no hits or came short.
    if (!savePath.isNull()) {
        if (fetched.code < 0 && fetched.body.isEmpty()) {
            fprintf(stderr, "no page to save in %s\n", Printable::local(savePath).constData());
            return 1;
        }
        QString error;
        if (!AtomicFile::write(savePath, fetched.body, &error)) {
            fprintf(stderr, "%s was not saved: %s\n", Printable::local(savePath).constData(),
                    Printable::local(error).constData());
            return 1;
        }
        fprintf(stderr, "page saved in %s (%lld bytes)\n", Printable::local(savePath).constData(),
                static_cast<long long>(fetched.body.size()));
    }
    if (outcome.code < 0)
        return 1;
    if (!add)
        return 0;

    // The hits go into the list as it is now, under its lock, so that rows
    // another process wrote since are kept. Nothing new leaves the file as it
    // is, as "List up" saves only when it copied.
    int added = 0;
    QString error;
    const bool saved = DownloadListFile::update(
        workDir,
        [&](const QList<ResultRow> &fileRows) -> std::optional<QList<ResultRow>> {
            // Shown as the tab shows a loaded list: the file's last row on top.
            QList<ResultRow> shown(fileRows.crbegin(), fileRows.crend());
            added = addHits(rows, &shown);
            if (added == 0)
                return std::nullopt;
            return shown;
        },
        &error);
    if (!saved) {
        fprintf(stderr, "\n%s was not saved: %s\n", DownloadListFile::path(workDir).constData(),
                error.toLocal8Bit().constData());
        return 1;
    }
    fprintf(stderr, "added %d to the download list\n", added);
    return 0;
}
