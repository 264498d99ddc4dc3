#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QHash>
#include <QList>
#include <QString>

// Checks one engine file for the mistakes the loader passes over in silence:
// unknown or misspelled keys, keys given twice, marker pairs missing a half,
// markers that can never cut anything, stage keys the stage count leaves out,
// templates without their placeholders, numbers that do not read as numbers,
// and bytes that make the file something other than a text file.
//
// It reads the file as the loader does (keys at the first byte of a line,
// pieces of Engine::PieceSize bytes, the last of a repeated key wins) and
// remembers on which line each key the loader keeps was given, so that a
// tool explaining a search can point at the line of a marker.
//
//     const EngineLint lint = EngineLint::checkFile(path);
//     for (const EngineLint::Finding &finding : lint.findings())
//         fprintf(stderr, "%s\n", qPrintable(EngineLint::format(path, finding)));
class EngineLint
{
public:
    enum class Severity { Warning, Error };

    struct Finding
    {
        int line = 0; // from 1; 0 for the file as a whole
        Severity severity = Severity::Warning;
        QString message;
    };

    // A larger file is not read at all: one error says so.
    static constexpr qint64 MaxFileBytes = 1024 * 1024;

    // Reads at most MaxFileBytes + 1 bytes of the file, so a huge file, a
    // device or a pipe costs no more than that (anything but a regular file
    // is refused before it is opened).
    static EngineLint checkFile(const QString &path);
    static EngineLint checkText(QByteArrayView text);

    // In line order; findings about the file as a whole (line 0) come last.
    const QList<Finding> &findings() const { return m_findings; }
    bool hasErrors() const;

    // The line that gave the value the loader keeps for a key of Engine
    // read under its own name (Engine::isFileKey()), or for the numbered key of that kind
    // (Engine::StageUrl, StageBegin, StageEnd) and stage; 0 when the file does not give it.
    int keyLine(int key) const;
    int stageKeyLine(int kind, int stage) const;
    // The value the loader keeps for such a key; empty when not given.
    QByteArray value(int key) const { return m_keys.value(key).value; }

    // "PATH:LINE: error: MESSAGE", or "PATH: warning: MESSAGE" for line 0.
    static QString format(const QString &path, const Finding &finding);

    // The key name nearest to a name that is not a key ("engine_titel::"
    // gives "engine_title::"), numbered names included; empty when no key
    // is near enough to be a likely misspelling.
    static QByteArray nearestKey(QByteArrayView name);

private:
    struct Given
    {
        int line = 0;
        QByteArray value;
    };

    void read(QByteArrayView text);
    void checkValues();
    void checkMode(int mode);
    void checkStages();
    void checkTemplate(const QString &name, int line, const QByteArray &value, const QString &what);
    void add(int line, Severity severity, const QString &message);

    // The value and line the loader keeps, per key read under its own name.
    QHash<int, Given> m_keys;
    // Per numbered key name ("download_url3::"): stage, kind and the last line.
    struct Numbered
    {
        int stage = 0;
        int kind = 0;
        Given given;
    };
    QHash<QByteArray, Numbered> m_numbered;
    QList<Finding> m_findings;
};
