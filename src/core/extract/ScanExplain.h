#pragma once

#include "core/extract/MarkerExplain.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>

class Engine;
class EngineLint;

// The result scan (scanResults()) of one page told step by step, for engine
// authors: where each block's top pair matched, and for each field where its
// cut began and ended and what it held, or which marker was missing and what
// in the page came nearest. It walks as the scan does and finds the same
// blocks, but searches the page afresh at every step: use it to explain a
// page, never to scan one.
class ScanExplain
{
public:
    struct FieldCut
    {
        const char *field; // "id", "title", "user", "image", "time"
        int beginKey;      // key indices of Engine
        int endKey;
        MarkerExplain::Cut cut;
    };
    struct Block
    {
        MarkerExplain::Cut top; // fields are searched from top.endAt
        QList<FieldCut> fields;
    };
    struct Walk
    {
        QList<Block> blocks;
        MarkerExplain::Cut end; // the top cut that found no further block
    };

    // The walk over the page with the markers of the engine's search mode.
    static Walk walk(QByteArrayView page, const Engine &engine, int mode);

    // The walk as lines without line ends, e.g.
    //     block 1: top marker at 120, fields searched from 131
    //       id: 140..143 "c17"
    //       title: begin marker "<b>" (find0_title::, line 9) not found from 131; nearest: ...
    //     no further block: begin marker "<li>" (find0_top::, line 5) not found from 400
    //     2 hits
    // With a lint of the engine's file the markers name their lines. The
    // lines hold bytes of the page: print them through an escaping filter.
    static QList<QByteArray> describe(QByteArrayView page, const Engine &engine, int mode,
                                      const EngineLint *lint = nullptr);
};
