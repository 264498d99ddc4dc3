#include "cli/Commands.h"
#include "cli/InterruptFlag.h"

#include <QCoreApplication>
#include <cstdio>
#include <cstring>

namespace {

struct Command
{
    const char *name;
    int (*run)(const QStringList &args);
};

const Command commands[] = {
    {"engines", Cli::engines},          {"get", Cli::get},
    {"download", Cli::download},        {"search", Cli::search},
    {"check-engine", Cli::checkEngine},
};

} // namespace

void Cli::printUsage(FILE *out)
{
    fputs("usage: zindle-cli COMMAND [ARGS]\n"
          "Works in the current directory, with its \"z_user.ini\" and \".zindles\".\n"
          "\n"
          "commands:\n"
          "  engines    list the loaded engines: index, engine_id, engine_title, stage count\n"
          "  get URL [-o FILE] [--cafile FILE]\n"
          "             fetch the URL with the settings of \"z_user.ini\" into FILE or standard\n"
          "             output, then print \"status=.. length=.. received=.. code=..\"\n"
          "             on standard error; --cafile names a PEM file of further trusted\n"
          "             certificates for https, in place of the \"cafile\" setting\n"
          "  search [--engine N|ID] [--mode title|user|url] [--page N] [--add] WORD\n"
          "             search as the search dialog does; prints one line per hit, the seven\n"
          "             columns separated by tabs, and the final message on standard error;\n"
          "             --add then copies the hits into \"download.list\" in the work\n"
          "             directory as \"List up\" does with every hit selected (a video already\n"
          "             listed, same ID and Type, is skipped), saves the list when any was\n"
          "             added and prints \"added N to the download list\"\n"
          "  download   download the rows of \"download.list\" in the work directory as the\n"
          "             Download tab does, printing \"ID mark\" per row; saves the list and\n"
          "             exits 0 when every row ended \"o\"\n"
          "  check-engine [FILE|ID...]\n"
          "             check engine files (each FILE, or the file of each engine_id ID;\n"
          "             without arguments every \"*.zin\" of \".zindles\") and print each\n"
          "             problem as \"FILE:LINE: error: ...\" or \"FILE:LINE: warning: ...\";\n"
          "             exits 0 when no file has an error, 1 otherwise\n"
          "  --help     show this text\n"
          "A command stopped by SIGINT or SIGTERM ends at once and exits 130; download\n"
          "first saves the list with every mark settled so far.\n",
          out);
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    InterruptFlag::install();
    if (argc < 2) {
        Cli::printUsage(stderr);
        return 2;
    }
    if (!strcmp(argv[1], "--help") || !strcmp(argv[1], "-h") || !strcmp(argv[1], "help")) {
        Cli::printUsage(stdout);
        return 0;
    }
    QStringList args = app.arguments().mid(2);
    for (const Command &command : commands) {
        if (!strcmp(argv[1], command.name))
            return command.run(args);
    }
    fprintf(stderr, "zindle-cli: unknown command \"%s\"\n", argv[1]);
    Cli::printUsage(stderr);
    return 2;
}
