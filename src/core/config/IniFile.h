#pragma once

#include <QByteArray>
#include <QString>

// An INI file held in memory: reads behave as hand-edited files expect
// (section and key names match case-insensitively, blanks around names and
// values are trimmed, a value in matching quotes loses them, texts are cut to
// 255 bytes), and a write replaces one key's value while every other line of
// the file stays byte for byte. save() replaces the file atomically.
class IniFile
{
public:
    static constexpr int MaxValueLength = 255;
    // A larger file is not read (nor replaced by save()).
    static constexpr int MaxFileSize = 16 * 1024 * 1024;

    explicit IniFile(const QString &path);

    // Reads the file; a missing or unreadable file reads as empty. Returns
    // false (errorString() says why) when the file exists but cannot be read,
    // is not a regular file, or is larger than MaxFileSize.
    bool load();

    QByteArray value(const QByteArray &section, const QByteArray &key,
                     const QByteArray &defaultValue = {}) const;
    // Leading blanks, an optional sign and digits up to the first other
    // character; no digits (or a missing key) give the default.
    int intValue(const QByteArray &section, const QByteArray &key, int defaultValue) const;

    // Replaces the key's value in place, or appends the key to its section,
    // or appends the section when it is missing.
    void setValue(const QByteArray &section, const QByteArray &key, const QByteArray &value);

    // Replaces the file with contents() through AtomicFile. On failure the
    // old file is kept and errorString() says why.
    bool save();

    QString path() const { return m_path; }
    QByteArray contents() const { return m_data; }
    QString errorString() const { return m_error; }

private:
    QString m_path;
    QByteArray m_data;
    QString m_error;
};
