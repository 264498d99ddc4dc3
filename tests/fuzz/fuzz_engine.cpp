// Engine file parsing over any bytes: every accessor over every key and stage.
#include "FuzzSupport.h"
#include "core/config/Engine.h"
#include "core/config/Numbers.h"

namespace {

bool hasLineEnd(const QByteArray &text)
{
    return text.contains('\r') || text.contains('\n');
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArrayView input = Fuzz::bytesOf(data, size);
    const QString &dir = Fuzz::scratchDir();
    static const QString name = QStringLiteral("fuzz.zin");
    Fuzz::writeFile(dir + name, input);

    Engine engine;
    // A NUL byte refuses the file, and a refused file leaves the engine empty.
    const int parsed = engine.parse(dir, name);
    FUZZ_CHECK(parsed == (input.contains('\0') ? Engine::Refused : Engine::Parsed));

    for (int key = -1; key <= Engine::KeyCount; ++key) {
        const QByteArray &text = engine.text(key);
        FUZZ_CHECK(engine.textLength(key) == text.size());
        FUZZ_CHECK(engine.number(key) == Numbers::wholeNumber(text));
        if (key < 0 || key >= Engine::StageUrl) {
            FUZZ_CHECK(text.isEmpty());
            continue;
        }
        // A value is the rest of one piece of a line after its key name.
        FUZZ_CHECK(!hasLineEnd(text));
        const QByteArray keyName(Engine::keyName(key));
        FUZZ_CHECK(keyName.size() + text.size() <= Engine::PieceSize);
        if (!text.isEmpty())
            FUZZ_CHECK(input.contains(keyName + text));
    }

    const int retries = engine.number(Engine::Retry);
    FUZZ_CHECK(engine.retryCount() >= 0 && engine.retryCount() <= Engine::MaxRetries);
    if (retries >= 0 && retries <= Engine::MaxRetries)
        FUZZ_CHECK(engine.retryCount() == retries);

    const int stages = engine.parsedStageCount();
    FUZZ_CHECK(stages >= 0 && stages <= Engine::MaxStages);
    const int asked = Numbers::leadingNumber(engine.text(Engine::StageCount));
    FUZZ_CHECK(stages == (asked > 0 && asked <= Engine::MaxStages ? asked : 0));
    FUZZ_CHECK(engine.stagesRefused() == (asked > Engine::MaxStages));
    for (int stage = -1; stage <= stages; ++stage) {
        for (int kind = Engine::StageUrl - 1; kind <= Engine::StageEnd + 1; ++kind) {
            const QByteArray &text = engine.stageText(kind, stage);
            const bool inList = stage >= 0 && stage < stages && kind >= Engine::StageUrl &&
                                kind <= Engine::StageEnd;
            if (!inList) {
                FUZZ_CHECK(text == " ");
                continue;
            }
            FUZZ_CHECK(!hasLineEnd(text));
            FUZZ_CHECK(text == " " || text.isEmpty() || input.contains(text));
        }
    }

    // Parsing again starts afresh: a fresh engine and the same one read alike.
    Engine fresh;
    FUZZ_CHECK(fresh.parse(dir, name) == parsed);
    Engine &reused = engine;
    FUZZ_CHECK(reused.parse(dir, name) == parsed);
    for (int key = 0; key < Engine::KeyCount; ++key)
        FUZZ_CHECK(reused.text(key) == fresh.text(key));
    FUZZ_CHECK(reused.parsedStageCount() == fresh.parsedStageCount());
    for (int stage = 0; stage < stages; ++stage) {
        for (int kind = Engine::StageUrl; kind <= Engine::StageEnd; ++kind)
            FUZZ_CHECK(reused.stageText(kind, stage) == fresh.stageText(kind, stage));
    }
    return 0;
}
