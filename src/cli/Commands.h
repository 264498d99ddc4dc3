#pragma once

#include <QStringList>

// Each command takes the arguments after its name and returns the exit code
// (0 success, 1 failure, 2 usage error).
namespace Cli {

int engines(const QStringList &args);
// get URL [-o FILE]: fetches the URL as the download job does.
int get(const QStringList &args);

// Prints the usage on the given stream.
void printUsage(FILE *out);

} // namespace Cli
