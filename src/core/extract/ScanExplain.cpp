#include "core/extract/ScanExplain.h"

#include "core/config/Engine.h"
#include "core/config/EngineLint.h"

namespace {

struct FieldKeys
{
    const char *name;
    Engine::MarkerOffset begin;
};

// In the order the scan cuts them.
constexpr FieldKeys Fields[] = {
    {"title", Engine::TitleBegin}, {"user", Engine::UserBegin}, {"image", Engine::ImageBegin},
    {"time", Engine::TimeBegin},   {"id", Engine::IdBegin},
};

QByteArray missLine(QByteArrayView page, const Engine &engine, int beginKey, int endKey,
                    const MarkerExplain::Cut &cut, const EngineLint *lint, bool withNear = true)
{
    const auto line = [&](int key) { return lint ? lint->keyLine(key) : 0; };
    return MarkerExplain::describeMiss(page, engine.text(beginKey), engine.text(endKey), cut,
                                       Engine::keyName(beginKey), line(beginKey),
                                       Engine::keyName(endKey), line(endKey), withNear);
}

} // namespace

ScanExplain::Walk ScanExplain::walk(QByteArrayView page, const Engine &engine, int mode)
{
    Walk walk;
    const QByteArray &topBegin = engine.marker(mode, Engine::TopBegin);
    const QByteArray &topEnd = engine.marker(mode, Engine::TopEnd);
    MarkerExplain::Cut top = MarkerExplain::cut(page, topBegin, topEnd, 0);
    while (top.found()) {
        Block block;
        block.top = top;
        const qsizetype from = top.endAt;
        for (const FieldKeys &field : Fields) {
            const int beginKey = Engine::markerKey(mode, field.begin);
            const int endKey = Engine::markerKey(mode, Engine::MarkerOffset(field.begin + 1));
            block.fields.append(
                {field.name, beginKey, endKey,
                 MarkerExplain::cut(page, engine.text(beginKey), engine.text(endKey), from)});
        }
        walk.blocks.append(std::move(block));
        top = MarkerExplain::cut(page, topBegin, topEnd, from);
    }
    walk.end = top;
    return walk;
}

QList<QByteArray> ScanExplain::describe(QByteArrayView page, const Engine &engine, int mode,
                                        const EngineLint *lint)
{
    QList<QByteArray> lines;
    const Walk result = walk(page, engine, mode);
    const int topBegin = Engine::markerKey(mode, Engine::TopBegin);
    const int topEnd = Engine::markerKey(mode, Engine::TopEnd);
    int number = 0;
    for (const Block &block : std::as_const(result.blocks)) {
        lines.append("block " + QByteArray::number(++number) + ": top marker at " +
                     QByteArray::number(block.top.beginAt) + ", fields searched from " +
                     QByteArray::number(block.top.endAt));
        for (const FieldCut &field : block.fields) {
            QByteArray line = "  " + QByteArray(field.field) + ": ";
            if (engine.text(field.beginKey).isEmpty() && engine.text(field.endKey).isEmpty())
                line += "no markers";
            else if (field.cut.found())
                line += QByteArray::number(field.cut.endFrom(engine.text(field.beginKey))) + ".." +
                        QByteArray::number(field.cut.endAt) + " \"" + field.cut.text + '"';
            else
                line += missLine(page, engine, field.beginKey, field.endKey, field.cut, lint);
            lines.append(line);
        }
    }
    // After the last block the top marker is missing by nature: no near miss.
    const QByteArray end =
        missLine(page, engine, topBegin, topEnd, result.end, lint, result.blocks.isEmpty());
    lines.append((result.blocks.isEmpty() ? "no block: " : "no further block: ") + end);
    lines.append(QByteArray::number(result.blocks.size()) +
                 (result.blocks.size() == 1 ? " hit" : " hits"));
    return lines;
}
