#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

struct MarkerSet;

// One engine definition: the texts of a "*.zin" file addressed by key index,
// and the stage list of its download chain.
class Engine
{
public:
    enum Key {
        Title = 0,      // "engine_title::"
        Id = 1,         // "engine_id::"
        SearchName = 2, // "search_name::", mode 0 template
        SearchNameOption = 3,
        SearchUser = 4,
        SearchUserOption = 5,
        SearchDirect = 6,
        SearchDirectOption = 7,
        SearchStart = 8,
        SearchStep = 9,
        FindFirst = 10,    // "find0_http::", the first key of mode 0's marker block
        DownloadHttp = 49, // "download_http::"
        StageCount = 50,   // "dowuload_redirect::"
        Retry = 51,        // "dowuload_retry::"
        Target = 52,       // "download_target::"
        Ext = 53,          // "download_ext::"
        StageUrl = 54,     // "download_url%d::"
        StageBegin = 55,   // "download_key%d::"
        StageEnd = 56,     // "download_key%d_::"
        // Optional keys of the engine's self-test (zindle-cli test-engine).
        TestWord = 57,       // "test_word::", a word that finds hits
        TestMinHits = 58,    // "test_min_hits::", the fewest hits it must find (default 1)
        TestMode = 59,       // "test_mode::", title, user or url (default title)
        HlsVariant = 60,     // "hls_variant::", best, worst or a maximum height (default best)
        MaxConnections = 61, // "max_connections::", the most connections per video (optional)
        KeyCount = 62,
    };
    // The keys of one search mode's marker block, in file order.
    enum MarkerOffset {
        FindHttp = 0,
        TopBegin = 1,
        TopEnd = 2,
        IdBegin = 3,
        IdEnd = 4,
        TitleBegin = 5,
        TitleEnd = 6,
        UserBegin = 7,
        UserEnd = 8,
        ImageBegin = 9,
        ImageEnd = 10,
        TimeBegin = 11,
        TimeEnd = 12,
    };
    // Search modes 0..ModeCount-1: by title, by user, by direct address.
    static constexpr int ModeCount = 3;
    // A search asks for one of the result pages 0..PageCount-1.
    static constexpr int PageCount = 20;
    static constexpr int MaxStages = 64;
    static constexpr int PieceSize = 1023; // lines are read in pieces of this many bytes
    // A larger engine file is refused without being read.
    static constexpr qint64 MaxFileSize = 1024 * 1024;
    // retryCount() gives at most this many retries, whatever the file asks for.
    static constexpr int MaxRetries = 10;
    // The longest engine_id::, in bytes.
    static constexpr int MaxIdBytes = 64;

    enum ParseResult {
        Parsed = 0,
        CannotOpen = -1, // not a regular file, or not readable
        Refused = -2,    // larger than MaxFileSize, or not text (it holds NUL bytes)
    };

    Engine();
    virtual ~Engine();

    // Reads dir + fileName (dir ends in "/"): Parsed, CannotOpen, or Refused
    // with a line on standard error naming the file. The engine is unchanged
    // unless the file was parsed.
    int parse(const QString &dir, const QString &fileName);
    // Reads an engine from text in memory, as parse() reads a file's bytes:
    // Parsed, or Refused (the engine unchanged) for text larger than
    // MaxFileSize or holding NUL bytes. It prints nothing; fileName() becomes
    // empty.
    int parseText(QByteArrayView text);

    const QByteArray &text(int key) const;
    int number(int key) const;
    int textLength(int key) const { return int(text(key).size()); }
    // The address template of a search mode; empty for a mode outside 0..ModeCount-1.
    const QByteArray &searchTemplate(int mode) const;
    // The number under the mode's option key (1: percent-encode the word); 0
    // for a mode outside 0..ModeCount-1.
    int searchOption(int mode) const;
    // One marker text of a search mode; empty for a mode outside 0..ModeCount-1.
    const QByteArray &marker(int mode, MarkerOffset field) const;
    // The six marker pairs of a search mode; the empty set (with which a scan
    // finds nothing) for a mode outside 0..ModeCount-1.
    MarkerSet markerSet(int mode) const;
    // The key index of a search mode's template, option or marker; -1 for a
    // mode outside 0..ModeCount-1.
    // An engine_id:: names the folder its videos go to: letters, digits, "-",
    // "_" and "." only, not starting with ".", 1 to MaxIdBytes bytes.
    static bool isSafeId(QByteArrayView id);

    static int searchTemplateKey(int mode);
    static int searchOptionKey(int mode);
    static int markerKey(int mode, MarkerOffset field);

    // The number under "dowuload_retry::" kept to 0..MaxRetries; parse() warns
    // on standard error when the file asks for more.
    int retryCount() const;
    // The number under "max_connections::" kept to 1..16; 0 when the engine sets none.
    int maxConnections() const;

    // kind is StageUrl, StageBegin or StageEnd; " " outside the stage list.
    const QByteArray &stageText(int kind, int stage) const;

    // The stage count the parser used (leading-number rule), 0 when refused.
    int parsedStageCount() const { return int(m_stages.size() / 3); }
    // True when the file asked for more than MaxStages stages.
    bool stagesRefused() const { return m_stagesRefused; }
    QString fileName() const { return m_fileName; }

    // The key name of index 0..53 and 57..59 ("engine_title::" ...), the
    // pattern for 54..56.
    static const char *keyName(int key);
    // Whether the key is read from the file under its own name: every key
    // but the numbered stage patterns.
    static bool isFileKey(int key);

private:
    // Sets every key from the bytes; reportPath, when not empty, names the
    // file in the lines about odd values on standard error.
    void load(QByteArrayView content, const QString &fileName, const QByteArray &reportPath);

    QByteArray m_texts[KeyCount];
    QList<QByteArray> m_stages;
    bool m_stagesRefused = false;
    QString m_fileName;
};
