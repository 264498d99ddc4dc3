#include "core/config/Engine.h"

#include "core/config/Numbers.h"
#include "core/config/Settings.h"
#include "core/extract/ResultScan.h"

#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cstdio>

namespace {

const char *const KeyNames[Engine::KeyCount] = {
    "engine_title::",    "engine_id::",          "search_name::",       "search_name_option::",
    "search_user::",     "search_user_option::", "search_direct::",     "search_direct_option::",
    "search_start::",    "search_step::",        "find0_http::",        "find0_top::",
    "find0_top_::",      "find0_id::",           "find0_id_::",         "find0_title::",
    "find0_title_::",    "find0_user::",         "find0_user_::",       "find0_image::",
    "find0_image_::",    "find0_time::",         "find0_time_::",       "find1_http::",
    "find1_top::",       "find1_top_::",         "find1_id::",          "find1_id_::",
    "find1_title::",     "find1_title_::",       "find1_user::",        "find1_user_::",
    "find1_image::",     "find1_image_::",       "find1_time::",        "find1_time_::",
    "find2_http::",      "find2_top::",          "find2_top_::",        "find2_id::",
    "find2_id_::",       "find2_title::",        "find2_title_::",      "find2_user::",
    "find2_user_::",     "find2_image::",        "find2_image_::",      "find2_time::",
    "find2_time_::",     "download_http::",      "dowuload_redirect::", "dowuload_retry::",
    "download_target::", "download_ext::",       "download_url%d::",    "download_key%d::",
    "download_key%d_::", "test_word::",          "test_min_hits::",     "test_mode::",
    "hls_variant::",     "max_connections::",
};

// Each search mode has a template and an option key, then, after the page
// keys, a marker block of this many keys.
constexpr int KeysPerMode = 2;
constexpr int MarkerBlockSize = Engine::TimeEnd + 1;
static_assert(Engine::SearchName + KeysPerMode * Engine::ModeCount == Engine::SearchStart);
static_assert(Engine::FindFirst + MarkerBlockSize * Engine::ModeCount == Engine::DownloadHttp);

bool isMode(int mode)
{
    return mode >= 0 && mode < Engine::ModeCount;
}

const QByteArray &emptyText()
{
    static const QByteArray empty("");
    return empty;
}

const QByteArray &blankText()
{
    static const QByteArray blank(" ");
    return blank;
}

// The rest of the line after a key name, up to the first CR or LF.
QByteArray valueAfter(QByteArrayView line, qsizetype keyLength)
{
    const QByteArrayView rest = line.sliced(keyLength);
    qsizetype end = 0;
    while (end < rest.size() && rest[end] != '\r' && rest[end] != '\n')
        ++end;
    return QByteArray(rest.data(), end);
}

// Cuts the file into the pieces a 1024-byte line buffer reads: at most
// PieceSize bytes, or up to and including a line feed.
template<typename Handler>
void forEachPiece(QByteArrayView content, Handler handle)
{
    qsizetype pos = 0;
    while (pos < content.size()) {
        const QByteArrayView rest =
            content.sliced(pos, qMin<qsizetype>(content.size() - pos, Engine::PieceSize));
        const qsizetype lineFeed = rest.indexOf('\n');
        const QByteArrayView piece = lineFeed >= 0 ? rest.first(lineFeed + 1) : rest;
        handle(piece);
        pos += piece.size();
    }
}

void refuse(const QByteArray &path, const char *reason)
{
    fprintf(stderr, "engine file %s %s; it is not loaded\n", path.constData(), reason);
    fflush(stderr);
}

} // namespace

Engine::Engine()
{
    for (QByteArray &text : m_texts)
        text = emptyText();
}

Engine::~Engine() = default;

int Engine::parse(const QString &dir, const QString &fileName)
{
    const QString path = dir + fileName;
    // Only regular files: a directory cannot be read, and a pipe could block.
    if (!QFileInfo(path).isFile())
        return CannotOpen;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return CannotOpen;

    // The size is checked before anything is read, and no more than one byte
    // past the cap is read, so a file that grows meanwhile is refused too.
    const QByteArray encodedPath = QFile::encodeName(path);
    QByteArray content;
    if (file.size() <= MaxFileSize) {
        content = file.read(MaxFileSize + 1);
        if (file.error() != QFileDevice::NoError)
            return CannotOpen;
    }
    if (file.size() > MaxFileSize || content.size() > MaxFileSize) {
        refuse(encodedPath, "is larger than 1 MiB");
        return Refused;
    }
    // A NUL byte means a binary or UTF-16 file; its values would be cut short
    // wherever they are used as C strings.
    if (content.contains('\0')) {
        refuse(encodedPath, "holds NUL bytes and is not text");
        return Refused;
    }
    file.close();

    load(content, fileName, encodedPath);
    return Parsed;
}

int Engine::parseText(QByteArrayView text)
{
    if (text.size() > MaxFileSize || text.contains('\0'))
        return Refused;
    load(text, QString(), QByteArray());
    return Parsed;
}

void Engine::load(QByteArrayView content, const QString &fileName, const QByteArray &reportPath)
{
    for (QByteArray &text : m_texts)
        text = emptyText();
    m_stages.clear();
    m_stagesRefused = false;
    m_fileName = fileName;

    forEachPiece(content, [this](QByteArrayView piece) {
        for (int key = 0; key < KeyCount; ++key) {
            if (!isFileKey(key))
                continue;
            const QByteArrayView name(KeyNames[key]);
            if (piece.startsWith(name)) {
                m_texts[key] = valueAfter(piece, name.size());
                break;
            }
        }
    });

    const bool report = !reportPath.isEmpty();
    if (report && number(Retry) > MaxRetries) {
        fprintf(stderr, "engine %s (%s): dowuload_retry:: %d is more than %d; %d is used\n",
                m_texts[Id].constData(), reportPath.constData(), number(Retry), MaxRetries,
                MaxRetries);
        fflush(stderr);
    }

    const int count = Numbers::leadingNumber(m_texts[StageCount]);
    if (count > MaxStages) {
        m_stagesRefused = true;
        if (report) {
            fprintf(stderr, "too many download stages in %s (dowuload_redirect::%s, at most %d)\n",
                    reportPath.constData(), m_texts[StageCount].constData(), MaxStages);
            fflush(stderr);
        }
        return;
    }
    if (count <= 0)
        return;

    QList<QByteArray> names;
    names.reserve(3 * count);
    for (int stage = 0; stage < count; ++stage) {
        for (int kind = StageUrl; kind <= StageEnd; ++kind)
            names.append(QByteArray(KeyNames[kind]).replace("%d", QByteArray::number(stage)));
    }
    m_stages = QList<QByteArray>(3 * count, blankText());

    forEachPiece(content, [this, &names](QByteArrayView piece) {
        if (!piece.startsWith("download_"))
            return;
        for (qsizetype j = 0; j < names.size(); ++j) {
            if (piece.startsWith(names[j])) {
                m_stages[j] = valueAfter(piece, names[j].size());
                break;
            }
        }
    });
}

const QByteArray &Engine::text(int key) const
{
    if (key < 0 || key >= KeyCount)
        return emptyText();
    return m_texts[key];
}

int Engine::number(int key) const
{
    return Numbers::wholeNumber(text(key));
}

int Engine::maxConnections() const
{
    if (text(MaxConnections).trimmed().isEmpty())
        return 0;
    return std::clamp(number(MaxConnections), 1, Settings::MaxConnections);
}

int Engine::retryCount() const
{
    return std::clamp(number(Retry), 0, MaxRetries);
}

int Engine::searchTemplateKey(int mode)
{
    return isMode(mode) ? SearchName + KeysPerMode * mode : -1;
}

int Engine::searchOptionKey(int mode)
{
    return isMode(mode) ? SearchNameOption + KeysPerMode * mode : -1;
}

int Engine::markerKey(int mode, MarkerOffset field)
{
    if (!isMode(mode) || int(field) < FindHttp || int(field) > TimeEnd)
        return -1;
    return FindFirst + MarkerBlockSize * mode + field;
}

const QByteArray &Engine::searchTemplate(int mode) const
{
    return text(searchTemplateKey(mode));
}

int Engine::searchOption(int mode) const
{
    return number(searchOptionKey(mode));
}

const QByteArray &Engine::marker(int mode, MarkerOffset field) const
{
    return text(markerKey(mode, field));
}

MarkerSet Engine::markerSet(int mode) const
{
    MarkerSet set;
    if (!isMode(mode))
        return set;
    const auto pair = [&](QByteArray(&target)[2], MarkerOffset begin) {
        target[0] = marker(mode, begin);
        target[1] = marker(mode, MarkerOffset(begin + 1));
    };
    pair(set.top, TopBegin);
    pair(set.id, IdBegin);
    pair(set.title, TitleBegin);
    pair(set.user, UserBegin);
    pair(set.image, ImageBegin);
    pair(set.time, TimeBegin);
    return set;
}

const QByteArray &Engine::stageText(int kind, int stage) const
{
    if (kind < StageUrl || kind > StageEnd || stage < 0)
        return blankText();
    const qsizetype index = 3 * qsizetype(stage) + (kind - StageUrl);
    if (index >= m_stages.size())
        return blankText();
    return m_stages[index];
}

const char *Engine::keyName(int key)
{
    if (key < 0 || key >= KeyCount)
        return "";
    return KeyNames[key];
}

bool Engine::isSafeId(QByteArrayView id)
{
    if (id.isEmpty() || id.size() > MaxIdBytes || id.startsWith('.'))
        return false;
    return std::all_of(id.begin(), id.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '-' || c == '_' || c == '.';
    });
}

bool Engine::isFileKey(int key)
{
    return key >= 0 && key < KeyCount && (key < StageUrl || key > StageEnd);
}
