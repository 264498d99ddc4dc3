#include "cli/Commands.h"
#include "cli/Printable.h"
#include "core/config/Engine.h"
#include "core/config/EngineLint.h"

#include <QDir>
#include <QFileInfo>
#include <algorithm>
#include <cstdio>

namespace {

const QString EngineDir = QStringLiteral(".zindles");

struct Checked
{
    QString path;
    EngineLint lint;
};

// The "*.zin" entries of .zindles in the order the loader takes them.
QStringList engineFiles()
{
    QStringList names = QDir(EngineDir).entryList({QStringLiteral("*.zin")},
                                                  QDir::Files | QDir::Dirs | QDir::Hidden |
                                                      QDir::System | QDir::NoDotAndDotDot,
                                                  QDir::NoSort);
    std::sort(names.begin(), names.end(), [](const QString &a, const QString &b) {
        const int folded = a.compare(b, Qt::CaseInsensitive);
        return folded != 0 ? folded < 0 : a < b;
    });
    QStringList paths;
    for (const QString &name : std::as_const(names))
        paths.append(EngineDir + u'/' + name);
    return paths;
}

QList<Checked> checkAll(const QStringList &paths)
{
    QList<Checked> checked;
    for (const QString &path : paths)
        checked.append({path, EngineLint::checkFile(path)});
    return checked;
}

// An argument that names no file is taken as an engine_id.
bool looksLikePath(const QString &arg)
{
    return QFileInfo::exists(arg) || arg.contains(u'/') || arg.endsWith(QLatin1String(".zin"));
}

void print(FILE *out, const QString &path, const EngineLint::Finding &finding)
{
    // Messages quote the file's own bytes: control bytes must not reach the terminal.
    fprintf(out, "%s\n", Printable::local(EngineLint::format(path, finding)).constData());
}

} // namespace

int Cli::checkEngine(const QStringList &args)
{
    for (const QString &arg : args) {
        if (arg.startsWith(QLatin1String("-"))) {
            fprintf(stderr, "zindle-cli check-engine: unknown option \"%s\"\n", qPrintable(arg));
            printUsage(stderr);
            return 2;
        }
    }

    QList<Checked> checked;
    bool failed = false;
    const bool wholeDirectory = args.isEmpty();
    if (wholeDirectory) {
        checked = checkAll(engineFiles());
        if (checked.isEmpty()) {
            fprintf(stderr, "%s: error: no engine files (*.zin)\n", qPrintable(EngineDir));
            return 1;
        }
    } else {
        QList<Checked> directory; // read once, for the first ID asked for
        for (const QString &arg : args) {
            if (looksLikePath(arg)) {
                checked.append({arg, EngineLint::checkFile(arg)});
                continue;
            }
            if (directory.isEmpty())
                directory = checkAll(engineFiles());
            const qsizetype before = checked.size();
            for (const Checked &file : std::as_const(directory)) {
                if (file.lint.value(Engine::Id) == arg.toLocal8Bit())
                    checked.append(file);
            }
            if (checked.size() == before) {
                fprintf(stderr, "%s: error: no such file, and no engine in %s has that engine_id\n",
                        qPrintable(arg), qPrintable(EngineDir));
                failed = true;
            }
        }
    }

    int errors = 0;
    int warnings = 0;
    for (qsizetype i = 0; i < checked.size(); ++i) {
        const Checked &file = checked[i];
        for (const EngineLint::Finding &finding : file.lint.findings()) {
            print(stdout, file.path, finding);
            ++(finding.severity == EngineLint::Severity::Error ? errors : warnings);
        }
        // Downloads find an engine by its ID: a second file with it is never used for them.
        const QByteArray id = file.lint.value(Engine::Id);
        for (qsizetype j = 0; wholeDirectory && !id.isEmpty() && j < i; ++j) {
            if (checked[j].lint.value(Engine::Id) != id)
                continue;
            print(stdout, file.path,
                  {file.lint.keyLine(Engine::Id), EngineLint::Severity::Warning,
                   QStringLiteral("engine_id::%1 is also the ID of %2, whose engine downloads "
                                  "the hits of both")
                       .arg(QString::fromLocal8Bit(id), checked[j].path)});
            ++warnings;
            break;
        }
        if (file.lint.hasErrors())
            failed = true;
    }
    fflush(stdout);
    fprintf(stderr, "%lld file(s) checked: %d error(s), %d warning(s)\n",
            static_cast<long long>(checked.size()), errors, warnings);
    return failed ? 1 : 0;
}
