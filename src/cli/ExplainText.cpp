#include "cli/ExplainText.h"

#include "cli/Printable.h"
#include "core/config/Engine.h"
#include "core/config/Settings.h"
#include "core/net/HttpClient.h"

EngineLint ExplainText::lintOf(const Settings &settings, const Engine &engine)
{
    return EngineLint::checkFile(settings.engineDir() + engine.fileName());
}

QByteArray ExplainText::pageLine(int status, qsizetype bytes, bool cut)
{
    QByteArray line =
        "status " + QByteArray::number(status) + ", " + QByteArray::number(bytes) + " bytes, ";
    if (cut)
        return line + "cut at " + QByteArray::number(HttpClient::MaxPageBytes) + " bytes";
    return line + "whole page";
}

QList<QByteArray> ExplainText::stepLines(const StageChain::Step &step, bool explaining)
{
    QList<QByteArray> lines{"stage " + QByteArray::number(step.stage) + ": " + step.url};
    if (step.answeredUrl != step.url && !step.answeredUrl.isEmpty())
        lines.append("  answered by " + step.answeredUrl);
    if (step.status > 0)
        lines.append("  " + pageLine(step.status, step.pageBytes, step.pageCut));
    if (step.reason.isEmpty() || !step.text.isEmpty())
        lines.append("  text \"" + step.text + '"');
    if (!step.reason.isEmpty())
        lines.append("  failed: " + step.reason);
    if (explaining && !step.miss.isEmpty())
        lines.append("  " + step.miss);
    return lines;
}

void ExplainText::print(FILE *out, const QList<QByteArray> &lines, const char *indent)
{
    for (const QByteArray &line : lines)
        print(out, line, indent);
}

void ExplainText::print(FILE *out, const QByteArray &line, const char *indent)
{
    fprintf(out, "%s%s\n", indent, Printable::text(line).constData());
}
