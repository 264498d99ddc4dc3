#pragma once

#include <QStringList>
#include <cstdio>

// Each command takes the arguments after its name ("-v" and "--help" already
// taken out) and returns the exit code (0 success, 1 failure, 2 usage error).
namespace Cli {

int engines(const QStringList &args);
// get URL [-o FILE]: fetches the URL as the download job does.
int get(const QStringList &args);
// download: runs the download list of the work directory, then merges its
// marks into the list on disk.
int download(const QStringList &args);
// search [--engine N|ID] [--mode title|user|url] [--page N] [--add]
// [--explain] [--save-page FILE | --page-file FILE] WORD: one tab-separated
// line per hit.
int search(const QStringList &args);

// history: the downloads of "history.list", oldest first, one line each.
int history(const QStringList &args);

// check-engine [FILE|ID...]: lints engine files, every one of .zindles without arguments.
int checkEngine(const QStringList &args);

// resolve [--explain] ENGINE ID: walks the engine's stage chain from the ID
// without fetching the video; 0 when it resolves.
int resolve(const QStringList &args);
// test-engine [ID...]: each engine's self-test (test_word:: and friends).
int testEngine(const QStringList &args);

// Prints the usage of every command on the given stream.
void printUsage(FILE *out);

} // namespace Cli
