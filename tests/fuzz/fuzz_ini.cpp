// The INI reader and writer over any file: values read, a few keys written,
// the file saved and read again.
// Input, split at NUL bytes: the INI file, then up to four writes, each one
// byte that picks the key and the value that follows it.
#include "FuzzSupport.h"
#include "core/config/IniFile.h"

#include <QMap>

namespace {

struct Entry
{
    const char *section;
    const char *key;
};

// The settings keys, names that match them in another case, a key of
// another section and one that no file has.
const Entry Entries[] = {
    {"settings", "path"},    {"settings", "proxy"},     {"settings", "name"},  {"settings", "pass"},
    {"settings", "port"},    {"settings", "image"},     {"settings", "cache"}, {"settings", "play"},
    {"settings", "timeout"}, {"settings", "useragent"}, {"Settings", "PATH"},  {"SETTINGS", "Port"},
    {"other", "path"},       {"fresh", "key"},
};
constexpr int EntryCount = int(sizeof Entries / sizeof Entries[0]);

QByteArray identity(const Entry &entry)
{
    return QByteArray(entry.section).toLower() + '/' + QByteArray(entry.key).toLower();
}

// What a read gives back after the value was written: a value ends at a line
// end, and reads are cut to MaxValueLength bytes.
QByteArray readBack(QByteArrayView value)
{
    qsizetype end = 0;
    while (end < value.size() && value[end] != '\r' && value[end] != '\n')
        ++end;
    return value.first(qMin<qsizetype>(end, IniFile::MaxValueLength)).toByteArray();
}

void checkValues(const IniFile &ini, const QMap<QByteArray, QByteArray> &expected)
{
    for (const Entry &entry : Entries) {
        const QByteArray value = ini.value(entry.section, entry.key, "\x01");
        FUZZ_CHECK(value == expected.value(identity(entry)));
        FUZZ_CHECK(value.size() <= IniFile::MaxValueLength);
        ini.intValue(entry.section, entry.key, -7);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QList<QByteArrayView> parts = Fuzz::split(Fuzz::bytesOf(data, size), '\0', 5);
    static const QString path = Fuzz::scratchDir() + QStringLiteral("fuzz.ini");
    Fuzz::writeFile(path, parts[0]);

    IniFile ini(path);
    FUZZ_CHECK(ini.load());
    FUZZ_CHECK(ini.contents() == parts[0]);
    // What every key reads as; the writes change only their own keys.
    QMap<QByteArray, QByteArray> expected;
    for (const Entry &entry : Entries)
        expected.insert(identity(entry), ini.value(entry.section, entry.key, "\x01"));
    checkValues(ini, expected);

    for (qsizetype i = 1; i < parts.size(); ++i) {
        if (parts[i].isEmpty())
            continue;
        const Entry &entry = Entries[static_cast<unsigned char>(parts[i][0]) % EntryCount];
        const QByteArrayView value = parts[i].sliced(1);
        ini.setValue(entry.section, entry.key, value.toByteArray());
        expected.insert(identity(entry), readBack(value));
        checkValues(ini, expected);
    }

    FUZZ_CHECK(ini.save());
    IniFile reloaded(path);
    FUZZ_CHECK(reloaded.load());
    FUZZ_CHECK(reloaded.contents() == ini.contents());
    checkValues(reloaded, expected);
    return 0;
}
