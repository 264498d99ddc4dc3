#include "cli/Commands.h"
#include "cli/InterruptFlag.h"
#include "core/BuildInfo.h"
#include "core/job/Trace.h"

#include <QCoreApplication>
#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

struct Command
{
    const char *name;
    int (*run)(const QStringList &args);
    const char *usage; // the lines after "usage: zindle-cli "
};

const Command commands[] = {
    {"engines", Cli::engines,
     "engines [-v]\n"
     "List the loaded engines on standard output, one line each: index, engine_id,\n"
     "engine_title and stage count, separated by tabs.\n"},
    {"get", Cli::get,
     "get [-v] URL [-o FILE] [--cafile FILE]\n"
     "Fetch the URL with the settings of \"z_user.ini\" into FILE or standard output,\n"
     "then print \"status=.. length=.. received=.. code=..\" on standard error.\n"
     "--cafile names a PEM file of further trusted certificates for https, in place\n"
     "of the \"cafile\" setting.\n"},
    {"download", Cli::download,
     "download [-v]\n"
     "       (also [--jobs N] [--connections C])\n"
     "Download the rows of \"download.list\" in the work directory as the Download\n"
     "tab does, N rows at once (1 to 16; default: the \"jobs\" setting, else 3),\n"
     "each video over up to C connections when its server takes ranges (1 to 16;\n"
     "default: the \"connections\" setting, else 1; an engine's max_connections::\n"
     "may lower it).\n"
     "Each settled row prints one line on standard output: \"ID o\", or\n"
     "\"ID x REASON\" for a row that failed. The marks are then merged into the list\n"
     "as it is on disk (rows added or deleted meanwhile by another zindle stay so).\n"
     "Exits 0 when every row ended \"o\" and the list was saved.\n"},
    {"search", Cli::search,
     "search [-v] [--engine N|ID] [--mode title|user|url] [--page N] [--add] WORD\n"
     "       (also [--explain] [--save-page FILE | --page-file FILE] before WORD)\n"
     "Search as the search dialog does: one line per hit on standard output, the\n"
     "seven columns separated by tabs; the final message goes to standard error.\n"
     "A hit already downloaded (in \"history.list\", same ID and Type) shows \"D\" in\n"
     "the first column.\n"
     "--add then copies the hits into \"download.list\" in the work directory as\n"
     "\"List up\" does with every hit selected (a video already listed, same ID and\n"
     "Type, is skipped), saves the list when any was added and prints \"added N to\n"
     "the download list\" on standard error.\n"
     "--explain first prints, on standard output, the request, the HTTP status, the\n"
     "page size and whether the page was cut, then for each block where its top\n"
     "markers matched and each field's cut (begin..end offsets and text), or which\n"
     "marker was not found from which offset, with the nearest near miss in the\n"
     "page and the engine line of the marker.\n"
     "--save-page FILE writes the fetched page to FILE (replaced at once, as a\n"
     "whole); --page-file FILE scans that saved page instead (at most 8 MiB) and\n"
     "requests nothing.\n"},
    {"history", Cli::history,
     "history\n"
     "List the downloads recorded in \"history.list\" in the work directory, oldest\n"
     "first, one line each: date (UTC), engine_id, ID, title and file, separated by\n"
     "tabs. A broken line is skipped with a warning on standard error; no history\n"
     "yet prints nothing. Exits 1 when the history cannot be read.\n"},
    {"check-engine", Cli::checkEngine,
     "check-engine [FILE|ID...]\n"
     "Check engine files (each FILE, or the file of each engine_id ID; without\n"
     "arguments every \"*.zin\" of \".zindles\") and print each problem on standard\n"
     "output as \"FILE:LINE: error: ...\" or \"FILE:LINE: warning: ...\". Exits 0 when\n"
     "no file has an error, 1 otherwise.\n"},
    {"resolve", Cli::resolve,
     "resolve [-v] [--explain] ENGINE ID\n"
     "Walk the download stages of the engine (its engine_id) from the video ID as\n"
     "the download does, without fetching the video. For each stage standard output\n"
     "shows its URL, the HTTP status and page size, and the text its markers cut,\n"
     "then \"final URL ...\". A stage whose markers miss ends the chain; --explain\n"
     "then says which marker was not found and what in the page came nearest.\n"
     "Exits 0 when the chain resolves, 1 otherwise.\n"},
    {"test-engine", Cli::testEngine,
     "test-engine [-v] [ID...]\n"
     "Run the self-test of each engine (engine_id ID; without arguments every\n"
     "loaded engine): search test_word:: in test_mode:: (title, user or url; title\n"
     "by default), expect at least test_min_hits:: hits (1 by default), each with an\n"
     "ID and a title, resolve the first hit's download stages and ask the final URL\n"
     "for its first byte. Prints one line per engine on standard output: \"ID ok\",\n"
     "\"ID skipped: no test_word::\", or \"ID FAIL: ...\" followed by indented lines\n"
     "that explain it. Exits 0 when no engine failed.\n"},
};

bool isHelp(const QString &arg)
{
    return arg == QLatin1String("--help") || arg == QLatin1String("-h");
}

bool isVerbose(const QString &arg)
{
    return arg == QLatin1String("-v") || arg == QLatin1String("--verbose");
}

} // namespace

void Cli::printUsage(FILE *out)
{
    fputs("usage: zindle-cli COMMAND [ARGS] [-v]\n"
          "Works in the current directory, with its \"z_user.ini\" and \".zindles\".\n"
          "\n"
          "commands (\"zindle-cli COMMAND --help\" tells more):\n"
          "  engines    list the loaded engines: index, engine_id, engine_title, stage count\n"
          "  get URL [-o FILE] [--cafile FILE]\n"
          "             fetch the URL with the settings of \"z_user.ini\" into FILE or standard\n"
          "             output, then print \"status=.. length=.. received=.. code=..\"\n"
          "             on standard error\n"
          "  search [--engine N|ID] [--mode title|user|url] [--page N] [--add]\n"
          "         [--explain] [--save-page FILE | --page-file FILE] WORD\n"
          "             search as the search dialog does; prints one line per hit, the seven\n"
          "             columns separated by tabs (\"D\" first: already downloaded);\n"
          "             --add then copies the hits into\n"
          "             \"download.list\" as \"List up\" does; --explain shows how the\n"
          "             markers cut the page; --save-page keeps the page, --page-file\n"
          "             scans a kept page with no request\n"
          "  download   download the rows of \"download.list\" as the Download tab does,\n"
          "             printing \"ID mark [reason]\" per row\n"
          "  history    list the completed downloads of \"history.list\", oldest first\n"
          "  check-engine [FILE|ID...]\n"
          "             check engine files and print each problem as \"FILE:LINE: error: ...\"\n"
          "             or \"FILE:LINE: warning: ...\"\n"
          "  resolve [--explain] ENGINE ID\n"
          "             walk the engine's download stages from the ID without fetching the\n"
          "             video: each stage's URL, status and cut text, then the final URL\n"
          "  test-engine [ID...]\n"
          "             run the engines' self-tests (test_word::): \"ID ok\" or \"ID FAIL: ...\"\n"
          "  --help     show this text\n"
          "  --version  print \"zindle-cli VERSION\"\n"
          "\n"
          "Results (hits, row marks, the engine table) go to standard output, one whole\n"
          "line each; messages go to standard error. -v or --verbose, anywhere, adds the\n"
          "jobs' step-by-step trace on standard error. Control bytes in texts from pages,\n"
          "engines and the list are printed as \\xNN.\n"
          "Changes to \"download.list\" are merged with what another zindle wrote.\n"
          "A command stopped by SIGINT or SIGTERM ends at once and exits 130; download\n"
          "first saves the list with every mark settled so far.\n",
          out);
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    InterruptFlag::install();
    QStringList args = app.arguments().mid(1);
    // The trace is for a person watching; scripts read standard output.
    bool verbose = false;
    for (qsizetype i = args.size() - 1; i >= 0; --i) {
        if (isVerbose(args[i])) {
            verbose = true;
            args.removeAt(i);
        }
    }
    Trace::setEnabled(verbose);
    if (args.isEmpty()) {
        Cli::printUsage(stderr);
        return 2;
    }
    const QString name = args.takeFirst();
    if (isHelp(name) || name == QLatin1String("help")) {
        Cli::printUsage(stdout);
        return 0;
    }
    if (name == QLatin1String("--version")) {
        printf("zindle-cli %s\n", ZINDLE_VERSION);
        return 0;
    }
    for (const Command &command : commands) {
        if (name != QLatin1String(command.name))
            continue;
        if (std::any_of(args.cbegin(), args.cend(), isHelp)) {
            printf("usage: zindle-cli %s", command.usage);
            return 0;
        }
        return command.run(args);
    }
    fprintf(stderr, "zindle-cli: unknown command \"%s\"\n", qPrintable(name));
    Cli::printUsage(stderr);
    return 2;
}
