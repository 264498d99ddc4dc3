#include "core/config/IniFile.h"

#include "core/config/AtomicFile.h"
#include "core/config/Numbers.h"

#include <QFile>
#include <QList>
#include <cerrno>
#include <sys/stat.h>

namespace {

// One line of the file: [begin, end) is its text without the line end, next
// is where the following line starts.
struct Line
{
    qsizetype begin;
    qsizetype end;
    qsizetype next;
};

QList<Line> splitLines(const QByteArray &data)
{
    QList<Line> lines;
    qsizetype begin = 0;
    while (begin < data.size()) {
        const qsizetype newline = data.indexOf('\n', begin);
        if (newline < 0) {
            lines.append({begin, data.size(), data.size()});
            break;
        }
        const qsizetype end = newline > begin && data[newline - 1] == '\r' ? newline - 1 : newline;
        lines.append({begin, end, newline + 1});
        begin = newline + 1;
    }
    return lines;
}

QByteArray lineText(const QByteArray &data, const Line &line)
{
    return data.mid(line.begin, line.end - line.begin);
}

// The trimmed name of a "[section]" line; a null text for any other line.
QByteArray sectionName(const QByteArray &text)
{
    const QByteArray trimmed = text.trimmed();
    if (!trimmed.startsWith('['))
        return {};
    qsizetype close = trimmed.indexOf(']');
    if (close < 0)
        close = trimmed.size();
    const QByteArray name = trimmed.mid(1, close - 1).trimmed();
    return name.isNull() ? QByteArray("") : name;
}

bool isKeyLine(const QByteArray &text, const QByteArray &key, qsizetype *equals)
{
    const qsizetype pos = text.indexOf('=');
    if (pos < 0 || !sectionName(text).isNull())
        return false;
    if (text.left(pos).trimmed().compare(key, Qt::CaseInsensitive) != 0)
        return false;
    *equals = pos;
    return true;
}

// Where a section and one of its keys stand in the file.
struct Location
{
    qsizetype section = -1;     // index of the "[section]" line
    qsizetype lastContent = -1; // last non-blank line of the section
    qsizetype key = -1;         // index of the key's line
    qsizetype equals = -1;      // position of '=' within that line's text
};

// The first section of that name counts, and within it the first line of the key.
Location locate(const QByteArray &data, const QList<Line> &lines, const QByteArray &section,
                const QByteArray &key)
{
    Location at;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QByteArray text = lineText(data, lines[i]);
        const QByteArray name = sectionName(text);
        if (at.section < 0) {
            if (!name.isNull() && name.compare(section, Qt::CaseInsensitive) == 0)
                at.section = at.lastContent = i;
            continue;
        }
        if (!name.isNull())
            break;
        if (!text.trimmed().isEmpty())
            at.lastContent = i;
        qsizetype equals = -1;
        if (at.key < 0 && isKeyLine(text, key, &equals)) {
            at.key = i;
            at.equals = equals;
        }
    }
    return at;
}

QByteArray lineEndOf(const QByteArray &data)
{
    const qsizetype newline = data.indexOf('\n');
    return newline > 0 && data[newline - 1] == '\r' ? QByteArrayLiteral("\r\n")
                                                    : QByteArrayLiteral("\n");
}

bool isQuote(char c)
{
    return c == '"' || c == '\'';
}

// The bytes a read trims from the ends of a value (as QByteArray::trimmed does).
bool isTrimmedByRead(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The value as it goes into the file: a line end would start a new line, so
// the value stops before it; quotes keep blanks at the ends and a value that
// is itself quoted from being changed by the next read.
QByteArray encodeValue(const QByteArray &value)
{
    qsizetype cut = value.size();
    for (qsizetype i = 0; i < value.size(); ++i) {
        if (value[i] == '\r' || value[i] == '\n') {
            cut = i;
            break;
        }
    }
    const QByteArray text = value.left(cut);
    if (text.isEmpty())
        return text;
    const bool blankEnds = isTrimmedByRead(text.front()) || isTrimmedByRead(text.back());
    const bool quoted = text.size() >= 2 && isQuote(text.front()) && text.front() == text.back();
    if (blankEnds || quoted)
        return '"' + text + '"';
    return text;
}

} // namespace

IniFile::IniFile(const QString &path) : m_path(path) {}

bool IniFile::load()
{
    m_data.clear();
    m_error.clear();
    // Nothing at the path (its folder missing too) is a missing file; a path
    // that cannot be looked up (a loop of links, a folder without search
    // permission) is one that cannot be read.
    struct stat info;
    if (::stat(QFile::encodeName(m_path).constData(), &info) != 0) {
        const int code = errno;
        if (code == ENOENT || code == ENOTDIR)
            return true;
        m_error = qt_error_string(code);
        return false;
    }
    // Opening a pipe blocks until someone writes to it, and a device such as
    // /dev/zero never ends: only a regular file is read.
    if (!S_ISREG(info.st_mode)) {
        m_error = QStringLiteral("not a regular file");
        return false;
    }
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly)) {
        m_error = file.errorString();
        return false;
    }
    // Read only in part, the file could not be written back whole.
    if (file.size() > MaxFileSize) {
        m_error = QStringLiteral("larger than %1 bytes").arg(MaxFileSize);
        return false;
    }
    m_data = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        m_error = file.errorString();
        m_data.clear();
        return false;
    }
    return true;
}

QByteArray IniFile::value(const QByteArray &section, const QByteArray &key,
                          const QByteArray &defaultValue) const
{
    const QList<Line> lines = splitLines(m_data);
    const Location at = locate(m_data, lines, section, key);
    if (at.key < 0)
        return defaultValue;
    QByteArray text = lineText(m_data, lines[at.key]).mid(at.equals + 1).trimmed();
    if (text.size() >= 2 && isQuote(text.front()) && text.front() == text.back())
        text = text.mid(1, text.size() - 2);
    text.truncate(MaxValueLength);
    return text.isNull() ? QByteArray("") : text;
}

int IniFile::intValue(const QByteArray &section, const QByteArray &key, int defaultValue) const
{
    const QByteArray text = value(section, key);
    bool ok = false;
    Numbers::leadingNumber64(text, &ok);
    return ok ? Numbers::leadingNumber(text) : defaultValue;
}

void IniFile::setValue(const QByteArray &section, const QByteArray &key, const QByteArray &value)
{
    const QByteArray written = encodeValue(value);
    const QList<Line> lines = splitLines(m_data);
    const Location at = locate(m_data, lines, section, key);
    const QByteArray lineEnd = lineEndOf(m_data);
    if (at.key >= 0) {
        const Line &line = lines[at.key];
        const qsizetype from = line.begin + at.equals + 1;
        m_data.replace(from, line.end - from, written);
        return;
    }
    const QByteArray keyLine = key + '=' + written + lineEnd;
    if (at.section >= 0) {
        const Line &last = lines[at.lastContent];
        // The section's last line may end the file without a line end.
        const QByteArray insert = last.next == last.end ? lineEnd + keyLine : keyLine;
        m_data.insert(last.next, insert);
        return;
    }
    if (!m_data.isEmpty() && !m_data.endsWith('\n'))
        m_data += lineEnd;
    m_data += '[' + section + ']' + lineEnd + keyLine;
}

bool IniFile::save()
{
    return AtomicFile::write(m_path, m_data, &m_error);
}
