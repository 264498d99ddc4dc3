#include "StderrCapture.h"
#include "core/extract/MarkerCut.h"
#include "core/extract/ResultScan.h"
#include "core/extract/TextTools.h"

#include <QtTest>
#include <climits>

namespace {

constexpr QByteArrayView TraceStart = "-------find_start------";

// Markers of a small result page: a block opens with "{..}", the fields follow it.
MarkerSet pageMarkers()
{
    MarkerSet m;
    m.top[0] = "{";
    m.top[1] = "}";
    m.title[0] = "<t>";
    m.title[1] = "</t>";
    m.user[0] = "<u>";
    m.user[1] = "</u>";
    m.image[0] = "<i>";
    m.image[1] = "</i>";
    m.time[0] = "<m>";
    m.time[1] = "</m>";
    m.id[0] = "<d>";
    m.id[1] = "</d>";
    return m;
}

QByteArray block(const char *title, const char *user, const char *image, const char *time,
                 const char *id)
{
    QByteArray b = "{r}";
    if (title)
        b += QByteArray("<t>") + title + "</t>";
    if (user)
        b += QByteArray("<u>") + user + "</u>";
    if (image)
        b += QByteArray("<i>") + image + "</i>";
    if (time)
        b += QByteArray("<m>") + time + "</m>";
    if (id)
        b += QByteArray("<d>") + id + "</d>";
    return b;
}

// One record as "title|time|user|id|image", so a table row can list them.
QByteArrayList flatten(const QList<ScanRecord> &records)
{
    QByteArrayList rows;
    for (const ScanRecord &r : records)
        rows << r.title + '|' + r.time + '|' + r.user + '|' + r.id + '|' + r.image;
    return rows;
}

// The begin and end markers of each trace, in the order written.
QByteArrayList traceMarkers(const QByteArray &trace)
{
    QByteArrayList markers;
    qsizetype pos = trace.indexOf(TraceStart);
    while (pos >= 0) {
        const qsizetype body = pos + TraceStart.size();
        const qsizetype next = trace.indexOf(TraceStart, body);
        markers << trace.mid(body, (next < 0 ? trace.size() : next) - body);
        pos = next;
    }
    return markers;
}

} // namespace

class TestExtract : public QObject
{
    Q_OBJECT

private slots:
    void findBetween_data();
    void findBetween();
    void findBetweenTrace();

    void scan_data();
    void scan();
    void scanTraceOrder();
    void scanStopSetBefore();
    void scanStopSetDuringScan();
    void markerCutRemembers_data();
    void markerCutRemembers();
    void scanMissingFieldsSearchedOnce();

    void fillTemplate_data();
    void fillTemplate();

    void encodeSearchWord_data();
    void encodeSearchWord();

    void cleanHtmlText_data();
    void cleanHtmlText();
    void decodeHtmlReferences_data();
    void decodeHtmlReferences();

    void encodingConversion();
};

void TestExtract::findBetween_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("begin");
    QTest::addColumn<QByteArray>("end");
    QTest::addColumn<qsizetype>("from");
    QTest::addColumn<QByteArray>("cut");
    QTest::addColumn<qsizetype>("position");

    QTest::newRow("one byte between markers")
        << QByteArray("a[x]b") << QByteArray("[") << QByteArray("]") << qsizetype(0)
        << QByteArray("x") << qsizetype(3);
    QTest::newRow("longer markers, first end after begin")
        << QByteArray("</td><td>a</td><td>b</td>") << QByteArray("<td>") << QByteArray("</td>")
        << qsizetype(0) << QByteArray("a") << qsizetype(10);
    QTest::newRow("end searched only after the begin marker")
        << QByteArray("ab_b") << QByteArray("ab") << QByteArray("b") << qsizetype(0)
        << QByteArray("_") << qsizetype(3);
    QTest::newRow("begin found, end missing")
        << QByteArray("a[xb") << QByteArray("[") << QByteArray("]") << qsizetype(0) << QByteArray()
        << qsizetype(-1);
    QTest::newRow("begin missing") << QByteArray("ax]b") << QByteArray("[") << QByteArray("]")
                                   << qsizetype(0) << QByteArray() << qsizetype(-1);
    QTest::newRow("adjacent markers") << QByteArray("a[]b]") << QByteArray("[") << QByteArray("]")
                                      << qsizetype(0) << QByteArray() << qsizetype(-1);
    QTest::newRow("case-sensitive")
        << QByteArray("<B>x</B>") << QByteArray("<b>") << QByteArray("</b>") << qsizetype(0)
        << QByteArray() << qsizetype(-1);
    QTest::newRow("empty begin matches at the start")
        << QByteArray("abc]d") << QByteArray() << QByteArray("]") << qsizetype(0)
        << QByteArray("abc") << qsizetype(3);
    QTest::newRow("empty begin matches at from")
        << QByteArray("abc]de]") << QByteArray() << QByteArray("]") << qsizetype(4)
        << QByteArray("de") << qsizetype(6);
    QTest::newRow("empty end never cuts") << QByteArray("a[xb") << QByteArray("[") << QByteArray()
                                          << qsizetype(0) << QByteArray() << qsizetype(-1);
    QTest::newRow("from skips an earlier block")
        << QByteArray("[1][2]") << QByteArray("[") << QByteArray("]") << qsizetype(2)
        << QByteArray("2") << qsizetype(5);
    QTest::newRow("from inside the last begin")
        << QByteArray("[1]") << QByteArray("[") << QByteArray("]") << qsizetype(1) << QByteArray()
        << qsizetype(-1);
    QTest::newRow("from beyond the text") << QByteArray("[1]") << QByteArray() << QByteArray("]")
                                          << qsizetype(9) << QByteArray() << qsizetype(-1);
    QTest::newRow("negative from counts as the start")
        << QByteArray("[1][2]") << QByteArray("[") << QByteArray("]") << qsizetype(-2)
        << QByteArray("1") << qsizetype(2);
}

void TestExtract::findBetween()
{
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, begin);
    QFETCH(QByteArray, end);
    QFETCH(qsizetype, from);
    QFETCH(QByteArray, cut);
    QFETCH(qsizetype, position);

    StderrCapture capture;
    QByteArray out = "stale";
    QCOMPARE(::findBetween(out, text, begin, end, from), position);
    QCOMPARE(out, cut);
    QCOMPARE(capture.text().count(TraceStart), 1);
}

void TestExtract::findBetweenTrace()
{
    StderrCapture capture;
    QByteArray out;
    ::findBetween(out, "a<t>x</t>b", "<t>", "</t>");
    ::findBetween(out, "a<t>xb", "<t>", "</t>");
    QCOMPARE(capture.text(), QByteArray("-------find_start------<t></t>x--------find_end-------"
                                        "-------find_start------<t></t>not found"
                                        "--------find_end-------"));
}

void TestExtract::scan_data()
{
    QTest::addColumn<QByteArray>("page");
    QTest::addColumn<QByteArrayList>("records");

    QTest::newRow("three blocks in page order")
        << QByteArray("<html>" + block("One", "ann", "1.jpg", "1:00", "a1") +
                      block("Two", "bob", "2.jpg", "2:00", "b2") +
                      block("Three", "cy", "3.jpg", "3:00", "c3") + "</html>")
        << QByteArrayList{"One|1:00|ann|a1|1.jpg", "Two|2:00|bob|b2|2.jpg",
                          "Three|3:00|cy|c3|3.jpg"};
    QTest::newRow("missing title taken from further down")
        << QByteArray(block("One", "ann", "1.jpg", "1:00", "a1") +
                      block(nullptr, "bob", "2.jpg", "2:00", "b2") +
                      block("Three", "cy", "3.jpg", nullptr, "c3"))
        << QByteArrayList{"One|1:00|ann|a1|1.jpg", "Three|2:00|bob|b2|2.jpg", "Three||cy|c3|3.jpg"};
    QTest::newRow("blocks without fields still give records")
        << QByteArray("{r}{r}") << QByteArrayList{"||||", "||||"};
    QTest::newRow("top begin inside a field starts the next record")
        << QByteArray("{r}<t>a{z}b</t>") << QByteArrayList{"a{z}b||||", "||||"};
    QTest::newRow("title and user cleaned, the other fields as cut")
        << QByteArray(block("<b>A</b>&amp;lt;B", "O&#39;<b>x</b>&amp;y\r\nz", "i.jpg?a=1&amp;b=2",
                            "1&#58;00", "<b>7&amp;"))
        << QByteArrayList{"A&lt;B|1&#58;00|O'x&y|<b>7&amp;|i.jpg?a=1&amp;b=2"};
    QTest::newRow("no top block") << QByteArray("<t>One</t><u>ann</u>") << QByteArrayList{};
    QTest::newRow("top begin without top end")
        << QByteArray("{r<t>One</t><u>ann</u>") << QByteArrayList{};
    QTest::newRow("empty page") << QByteArray() << QByteArrayList{};
}

void TestExtract::scan()
{
    QFETCH(QByteArray, page);
    QFETCH(QByteArrayList, records);

    StderrCapture capture;
    const QList<ScanRecord> found = scanResults(page, pageMarkers());
    QCOMPARE(flatten(found), records);
    QCOMPARE(capture.text().count(TraceStart), 6 * records.size() + 1);
}

void TestExtract::scanTraceOrder()
{
    const QByteArray page =
        block("One", "ann", "1.jpg", "1:00", "a1") + block("Two", "bob", "2.jpg", "2:00", "b2");
    StderrCapture capture;
    scanResults(page, pageMarkers());

    const QByteArrayList record = {"<t></t>", "<u></u>", "<i></i>", "<m></m>", "<d></d>", "{}"};
    const QByteArrayList expected = QByteArrayList{"{}"} + record + record;
    const QByteArrayList traces = traceMarkers(capture.text());
    QCOMPARE(traces.size(), expected.size());
    for (qsizetype i = 0; i < traces.size(); ++i)
        QVERIFY2(traces[i].startsWith(expected[i]), traces[i].constData());
}

void TestExtract::scanStopSetBefore()
{
    const QByteArray page =
        block("One", "ann", "1.jpg", "1:00", "a1") + block("Two", "bob", "2.jpg", "2:00", "b2");
    const std::atomic<int> stop = 1;
    StderrCapture capture;
    QVERIFY(scanResults(page, pageMarkers(), &stop).isEmpty());
    QCOMPARE(capture.text().count(TraceStart), 1); // only the first top search
}

void TestExtract::scanStopSetDuringScan()
{
    const QByteArray page = block("One", "ann", "1.jpg", "1:00", "a1") +
                            block("Two", "bob", "2.jpg", "2:00", "b2") +
                            block("Three", "cy", "3.jpg", "3:00", "c3");
    std::atomic<int> stop = 0;
    QList<ScanRecord> found;
    StderrCapture capture;
    scanResults(page, pageMarkers(), &stop, [&](ScanRecord &&record) {
        found.append(std::move(record));
        stop = 1;
    });
    QCOMPARE(flatten(found), QByteArrayList{"One|1:00|ann|a1|1.jpg"});
    QCOMPARE(capture.text().count(TraceStart), 7);
}

void TestExtract::markerCutRemembers_data()
{
    QTest::addColumn<QByteArray>("begin");
    QTest::addColumn<QByteArray>("end");

    QTest::newRow("pairs") << QByteArray("[") << QByteArray("]");
    QTest::newRow("longer markers") << QByteArray("[2") << QByteArray("2]");
    QTest::newRow("same marker twice") << QByteArray("|") << QByteArray("|");
    QTest::newRow("empty begin") << QByteArray() << QByteArray("]");
    QTest::newRow("fail: begin missing") << QByteArray("(") << QByteArray("]");
    QTest::newRow("fail: end missing") << QByteArray("[") << QByteArray(")");
    QTest::newRow("fail: empty end") << QByteArray("[") << QByteArray();
}

void TestExtract::markerCutRemembers()
{
    QFETCH(QByteArray, begin);
    QFETCH(QByteArray, end);

    const QByteArray text = "a[1]bb[22]|c|[]x[333";
    // Forward, back, repeated, inside markers, at and past the end.
    const QList<qsizetype> positions = {0, 0, 2, 1, 5, 11, 3, 14, 20, 25, 6, -1, 16, 12};
    QList<qsizetype> expected;
    QByteArrayList expectedCuts;
    StderrCapture expectedTrace;
    for (const qsizetype from : positions) {
        QByteArray out;
        expected << ::findBetween(out, text, begin, end, from);
        expectedCuts << out;
    }
    const QByteArray expectedTraceText = expectedTrace.text();

    MarkerCut cut(text, begin, end);
    QList<qsizetype> found;
    QByteArrayList cuts;
    StderrCapture trace;
    for (const qsizetype from : positions) {
        QByteArray out = "stale";
        found << cut.cut(out, from);
        cuts << out;
    }
    QCOMPARE(found, expected);
    QCOMPARE(cuts, expectedCuts);
    QCOMPARE(trace.text(), expectedTraceText);
}

void TestExtract::scanMissingFieldsSearchedOnce()
{
    // Records followed by a long stretch without markers, and field markers
    // that never occur: searching the rest of the page again for every field
    // of every record took minutes here.
    const QByteArray page = QByteArray("{r}").repeated(2000) + QByteArray(2 << 20, 'r');
    MarkerSet markers = pageMarkers();
    for (QByteArray *pair : {markers.title, markers.user, markers.image, markers.time, markers.id})
        pair[0] = "rq";

    StderrCapture capture;
    const QList<ScanRecord> found = scanResults(page, markers);
    QCOMPARE(found.size(), 2000);
    QCOMPARE(flatten({found.first(), found.last()}), QByteArrayList({"||||", "||||"}));
}

void TestExtract::fillTemplate_data()
{
    QTest::addColumn<QByteArray>("templ");
    QTest::addColumn<QByteArray>("word");
    QTest::addColumn<int>("number");
    QTest::addColumn<QByteArray>("filled");

    QTest::newRow("word and number") << QByteArray("http://h/s?q=%s&p=%d") << QByteArray("abc")
                                     << 20 << QByteArray("http://h/s?q=abc&p=20");
    QTest::newRow("only the number")
        << QByteArray("/list/%d") << QByteArray("abc") << 5 << QByteArray("/list/5");
    QTest::newRow("negative number")
        << QByteArray("p=%d") << QByteArray() << -3 << QByteArray("p=-3");
    QTest::newRow("smallest int") << QByteArray("%d") << QByteArray() << INT_MIN
                                  << QByteArray("-2147483648");
    QTest::newRow("word several times")
        << QByteArray("%s/%s%d%s") << QByteArray("w") << 1 << QByteArray("w/w1w");
    QTest::newRow("%d inside the word is filled")
        << QByteArray("q=%s&p=%d") << QByteArray("a%db") << 7 << QByteArray("q=a7b&p=7");
    QTest::newRow("%s inside the word stays")
        << QByteArray("q=%s") << QByteArray("x%sy") << 1 << QByteArray("q=x%sy");
    QTest::newRow("other percent sequences kept")
        << QByteArray("%20%s%%d%") << QByteArray("w") << 3 << QByteArray("%20w%3%");
    QTest::newRow("no placeholder")
        << QByteArray("/plain") << QByteArray("w") << 1 << QByteArray("/plain");
}

void TestExtract::fillTemplate()
{
    QFETCH(QByteArray, templ);
    QFETCH(QByteArray, word);
    QFETCH(int, number);
    QFETCH(QByteArray, filled);

    QByteArray out = "stale";
    ::fillTemplate(out, templ, word, number);
    QCOMPARE(out, filled);
}

void TestExtract::encodeSearchWord_data()
{
    QTest::addColumn<QByteArray>("word");
    QTest::addColumn<QByteArray>("encoded");

    QTest::newRow("space as plus") << QByteArray("a b") << QByteArray("a+b");
    QTest::newRow("slash") << QByteArray("x/y") << QByteArray("x%2Fy");
    QTest::newRow("asterisk") << QByteArray("*") << QByteArray("%2A");
    QTest::newRow("empty") << QByteArray() << QByteArray();
    QTest::newRow("unreserved kept") << QByteArray("AZaz09-._") << QByteArray("AZaz09-._");
    QTest::newRow("tilde, percent, plus, control")
        << QByteArray("~%+\t\n") << QByteArray("%7E%25%2B%09%0A");
    QTest::newRow("non-ASCII as UTF-8 bytes")
        << QStringLiteral(u"caf\u00e9 \u65e5").toLocal8Bit() << QByteArray("caf%C3%A9+%E6%97%A5");
}

void TestExtract::encodeSearchWord()
{
    QFETCH(QByteArray, word);
    QFETCH(QByteArray, encoded);

    ::encodeSearchWord(word);
    QCOMPARE(word, encoded);
}

void TestExtract::cleanHtmlText_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("cleaned");

    QTest::newRow("bold tags removed") << QByteArray("<b>A</b>B<//b>C<///b>") << QByteArray("ABC");
    QTest::newRow("other tags kept")
        << QByteArray("<i>x</i><br><bb>") << QByteArray("<i>x</i><br><bb>");
    QTest::newRow("upper case untouched")
        << QByteArray("<B>x</B>&NBSP;&Amp;lt;&QUOT;") << QByteArray("<B>x</B>&NBSP;&Amp;lt;&QUOT;");
    QTest::newRow("nbsp to space, quot removed")
        << QByteArray("&quot;a&nbsp;b&quot;") << QByteArray("a b");
    QTest::newRow("entities decoded") << QByteArray("&lt;&gt;&copy;&amp;") << QByteArray("<>(c)&");
    QTest::newRow("escaped references decoded once")
        << QByteArray("&amp;lt;&amp;gt;&amp;copy;&amp;amp;&amp;#39;&#38;lt;&amp;quot;")
        << QByteArray("&lt;&gt;&copy;&amp;&#39;&lt;&quot;");
    QTest::newRow("escaped nbsp keeps one level")
        << QByteArray("&amp;nbsp;") << QByteArray("&nbsp;");
    QTest::newRow("escaped bold tag stays")
        << QByteArray("&lt;b&gt;x&#60;/b>") << QByteArray("<b>x</b>");
    QTest::newRow("ampersand and apostrophe of a wiki title")
        << QByteArray("Cats &amp; dogs at the vet&#039;s")
        << QByteArray("Cats & dogs at the vet's");
    QTest::newRow("decimal and hexadecimal references")
        << QByteArray("&#39;&#x27;&#X27;&#0000065;&#x4a;&#34;") << QByteArray("'''AJ\"");
    QTest::newRow("Latin-1 names")
        << QByteArray("&iexcl;&Agrave;&Eacute;&szlig;&eacute;&times;&yuml;&shy;&reg;")
        << QStringLiteral(u"\u00a1\u00c0\u00c9\u00df\u00e9\u00d7\u00ff\u00ad\u00ae").toLocal8Bit();
    QTest::newRow("typographic names")
        << QByteArray("&ndash;&mdash;&lsquo;&rsquo;&ldquo;&rdquo;&hellip;&bull;&trade;&euro;"
                      "&laquo;&raquo;&apos;&thetasym;&zwnj;")
        << QStringLiteral(u"\u2013\u2014\u2018\u2019\u201c\u201d\u2026\u2022\u2122\u20ac"
                          u"\u00ab\u00bb'\u03d1\u200c")
               .toLocal8Bit();
    QTest::newRow("characters beyond 16 bits and past Latin-1")
        << QByteArray("&#x1F600;&#128512;&#x10FFFF;&#8364;&#x65E5;")
        << QStringLiteral(u"\U0001F600\U0001F600\U0010FFFF\u20ac\u65e5").toLocal8Bit();
    QTest::newRow("0x80 to 0x9F read as windows-1252")
        << QByteArray("&#150;&#146;&#x80;&#x9f;")
        << QStringLiteral(u"\u2013\u2019\u20ac\u0178").toLocal8Bit();
    QTest::newRow("white space controls become spaces")
        << QByteArray("a&#10;b&#13;c&#x9;d&#12;e") << QByteArray("a b c d e");
    QTest::newRow("fail: invalid numeric references kept")
        << QByteArray("&#xZZ;&#99999999;&#0;&#x0;&#xD800;&#xdfff;&#x110000;&#1;&#x7F;&#x81;&#;"
                      "&#x;&#39&#x27 &#-39;&#+39;&# 39;&#39a;")
        << QByteArray("&#xZZ;&#99999999;&#0;&#x0;&#xD800;&#xdfff;&#x110000;&#1;&#x7F;&#x81;&#;"
                      "&#x;&#39&#x27 &#-39;&#+39;&# 39;&#39a;");
    QTest::newRow("fail: huge numbers do not wrap")
        << QByteArray("&#4294967335;&#x100000027;&#00000000000000000000000000039;")
        << QByteArray("&#4294967335;&#x100000027;'");
    QTest::newRow("fail: unknown, unended and odd names kept")
        << QByteArray("&nosuch;&amp &lt&; &1lt;&EACUTE;&Eacute &thetasyms;&a-b;& amp;&&amp;")
        << QByteArray("&nosuch;&amp &lt&; &1lt;&EACUTE;&Eacute &thetasyms;&a-b;& amp;&&");
    QTest::newRow("fail: reference cut by the end of the text")
        << QByteArray("x&amp") << QByteArray("x&amp");
    QTest::newRow("CR ends the text, later LFs too")
        << QByteArray("title\r\nmore\n<b>x</b>\r\nend") << QByteArray("title");
    QTest::newRow("CR first gives empty") << QByteArray("\rabc") << QByteArray();
    QTest::newRow("LF alone kept") << QByteArray("a\nb") << QByteArray("a\nb");
    QTest::newRow("UTF-8 to local") << QByteArray("caf\xc3\xa9 &amp; \xe6\x97\xa5")
                                    << QStringLiteral(u"caf\u00e9 & \u65e5").toLocal8Bit();
    QTest::newRow("a reference after a CR goes with it")
        << QByteArray("a&#39;\rb&#39;") << QByteArray("a'");
}

void TestExtract::cleanHtmlText()
{
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, cleaned);

    ::cleanHtmlText(text);
    QCOMPARE(text, cleaned);
}

void TestExtract::decodeHtmlReferences_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("decoded");

    QTest::newRow("nbsp, quot and copy as a page shows them")
        << QByteArray("&nbsp;&quot;&copy;") << QByteArray("\xc2\xa0\"\xc2\xa9");
    QTest::newRow("one pass") << QByteArray("&amp;amp;&amp;#39;") << QByteArray("&amp;&#39;");
    QTest::newRow("tags, line ends and other bytes kept")
        << QByteArray("<b>\xff\xc3&eacute;\r\n&lt;") << QByteArray("<b>\xff\xc3\xc3\xa9\r\n<");
    QTest::newRow("no reference") << QByteArray("a & b") << QByteArray("a & b");
    QTest::newRow("empty") << QByteArray() << QByteArray();
}

void TestExtract::decodeHtmlReferences()
{
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, decoded);

    ::decodeHtmlReferences(text);
    QCOMPARE(text, decoded);
}

void TestExtract::encodingConversion()
{
    const QByteArray utf8 = "caf\xc3\xa9";
    const QByteArray local = QStringLiteral(u"caf\u00e9").toLocal8Bit();
    QByteArray out = "stale";

    utf8ToLocal(out, utf8);
    QCOMPARE(out, local);
    localToUtf8(out, local);
    QCOMPARE(out, utf8);

    utf8ToLocal(out, QByteArray());
    QVERIFY(out.isEmpty());
    out = "stale";
    localToUtf8(out, QByteArray());
    QVERIFY(out.isEmpty());
}

QTEST_GUILESS_MAIN(TestExtract)
#include "tst_extract.moc"
