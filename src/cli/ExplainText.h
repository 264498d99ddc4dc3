#pragma once

#include "core/config/EngineLint.h"
#include "core/download/StageChain.h"

#include <QByteArray>
#include <QList>
#include <cstdio>

class Engine;
class Settings;

// What the explaining commands (search --explain, resolve, test-engine)
// print, in one voice: every line from a page or an engine goes out through
// Printable.
class ExplainText
{
public:
    // The lint of the engine's file, for the lines of its markers.
    static EngineLint lintOf(const Settings &settings, const Engine &engine);
    // "status 200, 1234 bytes, whole page" or "..., cut at 8388608 bytes".
    static QByteArray pageLine(int status, qsizetype bytes, bool cut);
    // One stage of a chain: "stage N: URL", the page line, then "text "..."",
    // or the reason it ended there and, when explaining, why its markers missed.
    static QList<QByteArray> stepLines(const StageChain::Step &step, bool explaining);
    // Each line, after the indent, escaped, with a line end.
    static void print(FILE *out, const QList<QByteArray> &lines, const char *indent = "");
    static void print(FILE *out, const QByteArray &line, const char *indent = "");
};
