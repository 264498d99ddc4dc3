#include "core/config/EngineLint.h"

#include "core/config/Engine.h"
#include "core/config/Numbers.h"
#include "core/config/Settings.h"
#include "core/download/HlsPlaylist.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStringDecoder>
#include <algorithm>
#include <limits>

namespace {

using Severity = EngineLint::Severity;

const int NumberKeys[] = {Engine::SearchNameOption,   Engine::SearchUserOption,
                          Engine::SearchDirectOption, Engine::SearchStart,
                          Engine::SearchStep,         Engine::DownloadHttp,
                          Engine::StageCount,         Engine::Retry,
                          Engine::TestMinHits,        Engine::MaxConnections};
const int SwitchKeys[] = {Engine::SearchNameOption, Engine::SearchUserOption,
                          Engine::SearchDirectOption, Engine::DownloadHttp};

const char *const ModeNames[Engine::ModeCount] = {"Title", "User", "URL"};

struct FieldPair
{
    Engine::MarkerOffset begin;
    const char *field;
};
const FieldPair Fields[] = {
    {Engine::TopBegin, "hit block"}, {Engine::IdBegin, "ID"},       {Engine::TitleBegin, "title"},
    {Engine::UserBegin, "user"},     {Engine::ImageBegin, "image"}, {Engine::TimeBegin, "time"},
};

QString key(int index)
{
    return QString::fromLatin1(Engine::keyName(index));
}

QString shown(QByteArrayView bytes)
{
    return QString::fromUtf8(bytes);
}

// What a misspelled key was meant to set: "download_redirect::" is not a
// key, and the loader is silent about it.
QString roleOf(int index)
{
    switch (index) {
    case Engine::StageCount:
        return QStringLiteral("the stage count");
    case Engine::Retry:
        return QStringLiteral("the retry count");
    case Engine::DownloadHttp:
        return QStringLiteral("the un-escape switch");
    case Engine::Target:
        return QStringLiteral("the video address template");
    case Engine::Ext:
        return QStringLiteral("the file extension");
    default:
        return QString();
    }
}

QByteArray stageKeyName(int kind, int stage)
{
    return QByteArray(Engine::keyName(kind)).replace("%d", QByteArray::number(stage));
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// True when the text reads as a whole number (Numbers::wholeNumber), which
// goes to *value; an empty text reads as 0 without complaint.
bool readsAsWholeNumber(const QByteArray &text, int *value)
{
    *value = Numbers::wholeNumber(text);
    if (*value != 0)
        return true;
    const QByteArray trimmed = text.trimmed();
    if (trimmed.isEmpty())
        return true;
    const qsizetype digits = trimmed.startsWith('+') || trimmed.startsWith('-') ? 1 : 0;
    return trimmed.size() > digits &&
           std::all_of(trimmed.begin() + digits, trimmed.end(), [](char c) { return c == '0'; });
}

bool isUnsafeName(const QByteArray &name)
{
    if (name == "." || name == "..")
        return true;
    return std::any_of(name.begin(), name.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return c == '/' || c == '\\' || byte < 0x20 || byte == 0x7f;
    });
}

// The rest of a piece after the key, up to the first CR or LF.
QByteArray valueAfter(QByteArrayView piece, qsizetype keyLength)
{
    const QByteArrayView rest = piece.sliced(keyLength);
    qsizetype end = 0;
    while (end < rest.size() && rest[end] != '\r' && rest[end] != '\n')
        ++end;
    return rest.first(end).toByteArray();
}

int editDistance(QByteArrayView a, QByteArrayView b)
{
    QList<int> row(b.size() + 1);
    for (qsizetype j = 0; j <= b.size(); ++j)
        row[j] = int(j);
    for (qsizetype i = 1; i <= a.size(); ++i) {
        int diagonal = row[0];
        row[0] = int(i);
        for (qsizetype j = 1; j <= b.size(); ++j) {
            const int above = row[j];
            const int cost = a[i - 1] == b[j - 1] ? 0 : 1;
            row[j] = std::min({above + 1, row[j - 1] + 1, diagonal + cost});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// A name and "::" at the first byte: meant as a key, whatever the loader thinks.
const QRegularExpression &keyLike()
{
    static const QRegularExpression pattern(QStringLiteral("^[A-Za-z0-9_%]+::"));
    return pattern;
}

// A numbered stage key: kind from the letters, the digits as written.
const QRegularExpression &numberedKey()
{
    static const QRegularExpression pattern(QStringLiteral("^download_(url|key)([0-9]+)(_?)::"));
    return pattern;
}

} // namespace

EngineLint EngineLint::checkFile(const QString &path)
{
    EngineLint lint;
    const QFileInfo info(path);
    if (!info.exists()) {
        lint.add(0, Severity::Error, QStringLiteral("no such file"));
        return lint;
    }
    // A directory cannot be read, and a pipe or a device could block or never end.
    if (!info.isFile()) {
        lint.add(0, Severity::Error, QStringLiteral("not a regular file"));
        return lint;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        lint.add(0, Severity::Error, QStringLiteral("cannot read: %1").arg(file.errorString()));
        return lint;
    }
    const QByteArray text = file.read(MaxFileBytes + 1);
    if (text.size() > MaxFileBytes) {
        lint.add(
            0, Severity::Error,
            QStringLiteral("larger than %1 bytes: this is not an engine file").arg(MaxFileBytes));
        return lint;
    }
    return checkText(text);
}

EngineLint EngineLint::checkText(QByteArrayView text)
{
    EngineLint lint;
    const qsizetype nul = text.indexOf('\0');
    if (nul >= 0) {
        const int line = int(text.first(nul).count('\n')) + 1;
        lint.add(line, Severity::Error,
                 QStringLiteral("a NUL byte: this is a binary file, not an engine file"));
        return lint;
    }
    lint.read(text);
    lint.checkValues();
    std::stable_sort(lint.m_findings.begin(), lint.m_findings.end(),
                     [](const Finding &a, const Finding &b) {
                         // Line 0 (the file as a whole) sorts last.
                         return unsigned(a.line - 1) < unsigned(b.line - 1);
                     });
    return lint;
}

bool EngineLint::hasErrors() const
{
    return std::any_of(m_findings.begin(), m_findings.end(),
                       [](const Finding &f) { return f.severity == Severity::Error; });
}

int EngineLint::keyLine(int key) const
{
    if (Engine::isFileKey(key))
        return m_keys.value(key).line;
    return 0;
}

int EngineLint::stageKeyLine(int kind, int stage) const
{
    if (kind < Engine::StageUrl || kind > Engine::StageEnd || stage < 0)
        return 0;
    return m_numbered.value(stageKeyName(kind, stage)).given.line;
}

QString EngineLint::format(const QString &path, const Finding &finding)
{
    const QString severity =
        finding.severity == Severity::Error ? QStringLiteral("error") : QStringLiteral("warning");
    if (finding.line <= 0)
        return QStringLiteral("%1: %2: %3").arg(path, severity, finding.message);
    return QStringLiteral("%1:%2: %3: %4")
        .arg(path)
        .arg(finding.line)
        .arg(severity, finding.message);
}

QByteArray EngineLint::nearestKey(QByteArrayView name)
{
    const QByteArray lower = name.toByteArray().toLower();
    // Numbered keys are offered with the stage number the name carries.
    static const QRegularExpression digits(QStringLiteral("[0-9]+"));
    const QRegularExpressionMatch number = digits.match(QString::fromLatin1(name));
    const int stage = number.hasMatch() ? qMin(number.captured().toLongLong(), 999LL) : 0;

    QList<QByteArray> candidates;
    for (int index = 0; index < Engine::KeyCount; ++index) {
        if (Engine::isFileKey(index))
            candidates.append(Engine::keyName(index));
    }
    for (int kind = Engine::StageUrl; kind <= Engine::StageEnd; ++kind)
        candidates.append(stageKeyName(kind, stage));

    QByteArray best;
    int bestDistance = std::numeric_limits<int>::max();
    for (const QByteArray &candidate : std::as_const(candidates)) {
        const int distance = editDistance(lower, candidate);
        if (distance < bestDistance) {
            bestDistance = distance;
            best = candidate;
        }
    }
    // About one slip in five letters, at least one and at most three.
    const int allowed = int(std::clamp<qsizetype>(name.size() / 5, 1, 3));
    return bestDistance <= allowed ? best : QByteArray();
}

void EngineLint::add(int line, Severity severity, const QString &message)
{
    m_findings.append({line, severity, message});
}

void EngineLint::read(QByteArrayView text)
{
    const auto utf8Decoder = [] {
        return QStringDecoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    };
    QStringDecoder utf8 = utf8Decoder();
    int firstBadLine = 0;
    int badLines = 0;
    int endofLine = 0;
    bool keyAfterEndof = false;

    int number = 0;
    for (qsizetype start = 0; start < text.size();) {
        ++number;
        const qsizetype newline = text.indexOf('\n', start);
        const qsizetype next = newline < 0 ? text.size() : newline + 1;
        const QByteArrayView raw = text.sliced(start, next - start);
        start = next;
        const QByteArrayView content = raw.endsWith('\n') ? raw.chopped(1) : raw;

        const QString decoded = utf8.decode(content);
        if (utf8.hasError()) {
            utf8 = utf8Decoder();
            if (!firstBadLine)
                firstBadLine = number;
            ++badLines;
        }

        // The loader reads a line in pieces: each piece may set a key.
        QList<QByteArray> setHere;
        QByteArray keyAtStart;
        for (qsizetype offset = 0; offset < raw.size(); offset += Engine::PieceSize) {
            const QByteArrayView piece =
                raw.sliced(offset, qMin<qsizetype>(Engine::PieceSize, raw.size() - offset));
            QByteArray name;
            for (int index = 0; index < Engine::KeyCount && name.isEmpty(); ++index) {
                if (!Engine::isFileKey(index) || !piece.startsWith(Engine::keyName(index)))
                    continue;
                name = Engine::keyName(index);
                const Given previous = m_keys.value(index);
                if (previous.line)
                    add(number, Severity::Warning,
                        QStringLiteral("%1 given again (before on line %2); this one counts")
                            .arg(key(index))
                            .arg(previous.line));
                m_keys.insert(index, {number, valueAfter(piece, name.size())});
            }
            if (name.isEmpty()) {
                const QRegularExpressionMatch match = numberedKey().match(
                    QString::fromLatin1(piece.first(qMin<qsizetype>(piece.size(), 40))));
                if (match.hasMatch()) {
                    name = match.captured(0).toLatin1();
                    const QString digits = match.captured(2);
                    const bool url = match.captured(1) == QLatin1String("url");
                    const bool end = !match.captured(3).isEmpty();
                    const int kind = url ? (end ? -1 : Engine::StageUrl)
                                         : (end ? Engine::StageEnd : Engine::StageBegin);
                    bool fits = false;
                    const int stage = digits.toInt(&fits);
                    if (kind < 0 || (digits.size() > 1 && digits.startsWith(u'0'))) {
                        // The loader writes stage numbers without leading zeros.
                        QString written = digits;
                        while (written.size() > 1 && written.startsWith(u'0'))
                            written.remove(0, 1);
                        const QString meant = QStringLiteral("download_%1%2%3::")
                                                  .arg(match.captured(1), written,
                                                       url ? QString() : match.captured(3));
                        add(number, Severity::Error,
                            QStringLiteral("%1 is not a key; did you mean %2?")
                                .arg(shown(name), meant));
                    } else {
                        Numbered &entry = m_numbered[name];
                        if (entry.given.line)
                            add(number, Severity::Warning,
                                QStringLiteral(
                                    "%1 given again (before on line %2); this one counts")
                                    .arg(shown(name))
                                    .arg(entry.given.line));
                        entry.stage = fits ? stage : std::numeric_limits<int>::max();
                        entry.kind = kind;
                        entry.given = {number, valueAfter(piece, name.size())};
                    }
                }
            }
            if (!name.isEmpty()) {
                setHere.append(name);
                if (offset == 0)
                    keyAtStart = name;
                if (offset > 0)
                    add(number, Severity::Warning,
                        QStringLiteral("the text from byte %1 of this line is read as a line of "
                                       "its own, and it sets %2")
                            .arg(offset + 1)
                            .arg(shown(name)));
                continue;
            }
            if (offset > 0)
                continue;
            // Not a key: say so when it was meant as one.
            const QRegularExpressionMatch meant = keyLike().match(
                QString::fromLatin1(piece.first(qMin<qsizetype>(piece.size(), 80))));
            if (meant.hasMatch()) {
                const QByteArray wrong = meant.captured(0).toLatin1();
                QByteArray swapped = wrong;
                if (swapped.startsWith("download_"))
                    swapped.replace(0, 9, "dowuload_");
                else if (swapped.startsWith("dowuload_"))
                    swapped.replace(0, 9, "download_");
                int alias = -1;
                for (int index = Engine::DownloadHttp; index < Engine::StageUrl; ++index) {
                    if (swapped == Engine::keyName(index))
                        alias = index;
                }
                const QByteArray near = nearestKey(wrong);
                if (alias >= 0) {
                    add(number, Severity::Error,
                        QStringLiteral("%1 is not a key; %2 is %3")
                            .arg(shown(wrong), roleOf(alias), key(alias)));
                } else if (!near.isEmpty()) {
                    const bool caseOnly = wrong.toLower() == near;
                    add(number, Severity::Error,
                        QStringLiteral("%1 is not a key; did you mean %2?%3")
                            .arg(shown(wrong), shown(near),
                                 caseOnly ? QStringLiteral(" (key names are case-sensitive)")
                                          : QString()));
                } else {
                    add(number, Severity::Warning,
                        QStringLiteral("%1 is not a key, so this line sets nothing")
                            .arg(shown(wrong)));
                }
                continue;
            }
            const QByteArrayView trimmed = piece.trimmed();
            if (trimmed.size() < piece.size() && !trimmed.isEmpty() && isBlank(piece[0]) &&
                keyLike()
                    .match(QString::fromLatin1(trimmed.first(qMin<qsizetype>(trimmed.size(), 80))))
                    .hasMatch()) {
                add(number, Severity::Warning,
                    QStringLiteral("the line starts with a blank, so it sets nothing; a key must "
                                   "stand at the first byte of its line"));
            }
        }

        if (!setHere.isEmpty()) {
            if (endofLine && !keyAfterEndof) {
                keyAfterEndof = true;
                add(number, Severity::Warning,
                    QStringLiteral("%1 after the endof line on line %2 still counts")
                        .arg(shown(setHere.first()))
                        .arg(endofLine));
            }
            // The value ends at the first CR or LF, and at the end of the first piece.
            qsizetype valueEnd = content.indexOf('\r');
            if (valueEnd < 0)
                valueEnd = content.size();
            if (!keyAtStart.isEmpty() && valueEnd > Engine::PieceSize) {
                add(number, Severity::Error,
                    QStringLiteral("the line is %1 bytes long, but only its first %2 are read: "
                                   "the value of %3 is cut there")
                        .arg(content.size())
                        .arg(Engine::PieceSize)
                        .arg(shown(keyAtStart)));
            } else if (!keyAtStart.isEmpty() && valueEnd + 1 < content.size()) {
                add(number, Severity::Warning,
                    QStringLiteral("a carriage return inside the line: the value of %1 ends "
                                   "there, and the rest of the line is ignored")
                        .arg(shown(keyAtStart)));
            }
        }

        QByteArrayView bare = content;
        if (bare.endsWith('\r'))
            bare.chop(1);
        if (!endofLine && bare == "endof")
            endofLine = number;
    }

    if (badLines)
        add(firstBadLine, Severity::Warning,
            QStringLiteral("bytes that are not UTF-8 (%1 line(s) have them, this one first): "
                           "pages are read as UTF-8, so markers with such bytes rarely match")
                .arg(badLines));
    if (!endofLine)
        add(0, Severity::Warning,
            QStringLiteral("no endof line: the file may have been cut short"));
}

void EngineLint::checkValues()
{
    const QByteArray title = m_keys.value(Engine::Title).value;
    if (title.isEmpty())
        add(keyLine(Engine::Title), Severity::Warning,
            QStringLiteral(
                "no engine_title:: line, so the search dialog lists the engine without a name"));

    const QByteArray id = m_keys.value(Engine::Id).value;
    if (id.isEmpty())
        add(keyLine(Engine::Id), Severity::Error,
            QStringLiteral("no engine_id:: line, so hits carry no Type and none of them can be "
                           "downloaded"));
    else if (!Engine::isSafeId(id))
        add(keyLine(Engine::Id), Severity::Error,
            QStringLiteral("engine_id:: names the sub-directory of the videos: only letters, "
                           "digits, \"-\", \"_\" and \".\", not starting with \".\", at most "
                           "%1 bytes; downloads of its hits fail")
                .arg(Engine::MaxIdBytes));
    const QByteArray ext = m_keys.value(Engine::Ext).value;
    if (isUnsafeName(ext) && ext != "." && ext != "..")
        add(keyLine(Engine::Ext), Severity::Error,
            QStringLiteral("download_ext:: must not hold \"/\", \"\\\" or a control byte: "
                           "downloads of its hits fail"));

    if (m_keys.contains(Engine::TestMode)) {
        const Given mode = m_keys.value(Engine::TestMode);
        const QByteArray name = mode.value.trimmed().toLower();
        if (name != "title" && name != "user" && name != "url")
            add(mode.line, Severity::Error,
                QStringLiteral("%1%2 is not a search mode: title, user or url")
                    .arg(key(Engine::TestMode), shown(mode.value)));
    }

    if (m_keys.contains(Engine::HlsVariant)) {
        const Given variant = m_keys.value(Engine::HlsVariant);
        if (!HlsPlaylist::isVariantRule(variant.value))
            add(variant.line, Severity::Error,
                QStringLiteral("%1%2 is not a variant choice: best, worst or a maximum height "
                               "such as 720; the best is taken")
                    .arg(key(Engine::HlsVariant), shown(variant.value)));
    }

    for (const int index : NumberKeys) {
        if (!m_keys.contains(index))
            continue;
        const Given given = m_keys.value(index);
        int value = 0;
        if (!readsAsWholeNumber(given.value, &value)) {
            QString message = QStringLiteral("%1%2 does not read as a whole number, so it counts "
                                             "as 0")
                                  .arg(key(index), shown(given.value));
            if (index == Engine::StageCount && Numbers::leadingNumber(given.value) > 0)
                message += QStringLiteral(": the download runs no stage");
            add(given.line, Severity::Error, message);
        } else if (index == Engine::MaxConnections &&
                   (value < 1 || value > Settings::MaxConnections)) {
            add(given.line, Severity::Warning,
                QStringLiteral("%1%2 is outside 1 to %3, so %4 is used")
                    .arg(key(index))
                    .arg(value)
                    .arg(Settings::MaxConnections)
                    .arg(std::clamp(value, 1, Settings::MaxConnections)));
        } else if (std::find(std::begin(SwitchKeys), std::end(SwitchKeys), index) !=
                       std::end(SwitchKeys) &&
                   value != 0 && value != 1) {
            add(given.line, Severity::Warning,
                QStringLiteral("%1%2: only 1 turns it on, any other value counts as off")
                    .arg(key(index))
                    .arg(value));
        }
    }

    bool anyTemplate = false;
    for (int mode = 0; mode < Engine::ModeCount; ++mode) {
        anyTemplate |= m_keys.value(Engine::searchTemplateKey(mode)).value.size() >= 2;
        checkMode(mode);
    }
    if (!anyTemplate)
        add(0, Severity::Warning,
            QStringLiteral("no search template (search_name::, search_user::, "
                           "search_direct::): every search is refused"));

    checkStages();

    const Given target = m_keys.value(Engine::Target);
    if (target.value.isEmpty())
        add(target.line, Severity::Warning,
            QStringLiteral("no download_target:: line, so downloads of its hits fail"));
    else
        checkTemplate(key(Engine::Target), target.line, target.value,
                      QStringLiteral("the text the last stage cut (the ID without stages)"));
}

void EngineLint::checkMode(int mode)
{
    const int templateKey = Engine::searchTemplateKey(mode);
    const Given templ = m_keys.value(templateKey);
    const QString modeName = QString::fromLatin1(ModeNames[mode]);

    int firstMarkerLine = 0;
    for (const FieldPair &pair : Fields) {
        for (int half = 0; half < 2; ++half) {
            const Given given =
                m_keys.value(Engine::markerKey(mode, Engine::MarkerOffset(pair.begin + half)));
            if (!given.value.isEmpty() && (!firstMarkerLine || given.line < firstMarkerLine))
                firstMarkerLine = given.line;
        }
    }

    if (templ.value.size() < 2) {
        if (templ.value.size() == 1)
            add(templ.line, Severity::Warning,
                QStringLiteral("%1 is shorter than 2 bytes, so it counts as no template")
                    .arg(key(templateKey)));
        if (firstMarkerLine)
            add(firstMarkerLine, Severity::Warning,
                QStringLiteral("markers for mode %1 (%2) but no %3 template: searches by %2 are "
                               "refused")
                    .arg(mode)
                    .arg(modeName, key(templateKey)));
        return;
    }

    checkTemplate(key(templateKey), templ.line, templ.value, QStringLiteral("the search word"));
    if (templ.value.contains("%d") &&
        Numbers::wholeNumber(m_keys.value(Engine::SearchStep).value) == 0)
        add(templ.line, Severity::Warning,
            QStringLiteral("%1 has %d but search_step:: is 0 or missing: every page asks for "
                           "the same number")
                .arg(key(templateKey)));

    for (const FieldPair &pair : Fields) {
        const int beginKey = Engine::markerKey(mode, pair.begin);
        const int endKey = Engine::markerKey(mode, Engine::MarkerOffset(pair.begin + 1));
        const bool hasBegin = m_keys.contains(beginKey);
        const bool hasEnd = m_keys.contains(endKey);
        const Given begin = m_keys.value(beginKey);
        const Given end = m_keys.value(endKey);
        const QString field = QString::fromLatin1(pair.field);
        if (!hasBegin && !hasEnd) {
            if (pair.begin == Engine::TopBegin)
                add(templ.line, Severity::Error,
                    QStringLiteral(
                        "%1 is set, but there is no %2 / %3 pair, so searches by %4 find "
                        "nothing")
                        .arg(key(templateKey), key(beginKey), key(endKey), modeName));
            else if (pair.begin == Engine::IdBegin)
                add(templ.line, Severity::Warning,
                    QStringLiteral("%1 is set, but there is no %2 / %3 pair, so hits have no ID "
                                   "and cannot be downloaded")
                        .arg(key(templateKey), key(beginKey), key(endKey)));
            continue;
        }
        if (!hasEnd) {
            add(begin.line, Severity::Error,
                QStringLiteral("%1 has no end marker %2, so the %3 is never found")
                    .arg(key(beginKey), key(endKey), field));
            continue;
        }
        if (!hasBegin) {
            add(end.line, Severity::Error,
                QStringLiteral("%1 has no begin marker %2; an empty begin marker matches where "
                               "the search starts, so the %3 is cut from there")
                    .arg(key(endKey), key(beginKey), field));
            continue;
        }
        if (end.value.isEmpty())
            add(end.line, Severity::Error,
                QStringLiteral("%1 is empty: an empty end marker never matches, so the %2 is "
                               "never found")
                    .arg(key(endKey), field));
        else if (begin.value.isEmpty())
            add(begin.line, Severity::Warning,
                QStringLiteral("%1 is empty: an empty begin marker matches where the search "
                               "starts, so the %2 is cut from there")
                    .arg(key(beginKey), field));
    }
}

void EngineLint::checkStages()
{
    const Given count = m_keys.value(Engine::StageCount);
    int stages = 0;
    if (!readsAsWholeNumber(count.value, &stages))
        stages = 0;
    if (stages > Engine::MaxStages) {
        add(count.line, Severity::Error,
            QStringLiteral("dowuload_redirect::%1 is above the limit of %2: the engine gets no "
                           "stages and its downloads fail")
                .arg(stages)
                .arg(Engine::MaxStages));
        return;
    }
    if (stages < 0) {
        add(count.line, Severity::Warning,
            QStringLiteral("dowuload_redirect::%1 is negative: the download runs no stage")
                .arg(stages));
        stages = 0;
    }

    for (int stage = 0; stage < stages; ++stage) {
        for (int kind = Engine::StageUrl; kind <= Engine::StageEnd; ++kind) {
            const QByteArray name = stageKeyName(kind, stage);
            if (!m_numbered.contains(name)) {
                add(count.line, Severity::Error,
                    QStringLiteral("stage %1 has no %2 line, so the loader puts a single blank "
                                   "there")
                        .arg(stage)
                        .arg(shown(name)));
                continue;
            }
            const Given given = m_numbered.value(name).given;
            if (kind == Engine::StageUrl) {
                if (given.value.isEmpty())
                    add(given.line, Severity::Error,
                        QStringLiteral("%1 is empty: the stage has no address").arg(shown(name)));
                else
                    checkTemplate(shown(name), given.line, given.value,
                                  stage == 0
                                      ? QStringLiteral("the hit's ID")
                                      : QStringLiteral("the text stage %1 cut").arg(stage - 1));
            } else if (kind == Engine::StageEnd && given.value.isEmpty()) {
                add(given.line, Severity::Error,
                    QStringLiteral("%1 is empty: an empty end marker never matches, so the stage "
                                   "always fails")
                        .arg(shown(name)));
            } else if (kind == Engine::StageBegin && given.value.isEmpty()) {
                add(given.line, Severity::Warning,
                    QStringLiteral("%1 is empty: an empty begin marker matches at the start of "
                                   "the page")
                        .arg(shown(name)));
            }
        }
    }

    for (auto it = m_numbered.cbegin(); it != m_numbered.cend(); ++it) {
        if (it->stage < stages)
            continue;
        const QString range = stages == 0
                                  ? QStringLiteral("there are no stages")
                                  : QStringLiteral("the stages are 0 to %1").arg(stages - 1);
        add(it->given.line, Severity::Warning,
            QStringLiteral("%1 is ignored: dowuload_redirect:: is %2, so %3")
                .arg(shown(it.key()))
                .arg(stages)
                .arg(range));
    }
}

void EngineLint::checkTemplate(const QString &name, int line, const QByteArray &value,
                               const QString &what)
{
    if (!value.contains("%s"))
        add(line, Severity::Warning,
            QStringLiteral("%1 has no %s: %2 is not put into the address").arg(name, what));
    if (value.startsWith("http://") || value.startsWith("https://")) {
        // A placeholder right after the host may bring the "/" itself.
        const qsizetype host = value.indexOf("//") + 2;
        qsizetype hostEnd = host;
        while (hostEnd < value.size() && !QByteArrayView("/%?#").contains(value[hostEnd]))
            ++hostEnd;
        if (hostEnd == value.size() || (value[hostEnd] != '/' && value[hostEnd] != '%'))
            add(line, Severity::Error,
                QStringLiteral("%1 has no \"/\" after the host: the request is refused; end the "
                               "host with \"/\"")
                    .arg(name));
    } else if (!value.startsWith("%s")) {
        add(line, Severity::Warning,
            QStringLiteral("%1 does not start with http:// or https://: the request is refused")
                .arg(name));
    }
    if (isBlank(value.back()))
        add(line, Severity::Warning,
            QStringLiteral("%1 ends in a blank, which is part of the address").arg(name));
}
