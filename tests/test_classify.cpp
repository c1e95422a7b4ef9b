// ClassifyLink: normalisation, joining relative addresses, typing by extension, filing.

#include "base/gbk_text.h"
#include "base/text_rules.h"
#include "catalogue/classify_link.h"
#include "catalogue/media_by_request.h"
#include "catalogue/resource_tree.h"

#include <QtTest>

using namespace quorrel;

namespace {

SettingsValues typeTable()
{
    SettingsValues s;
    // Type 1 (web links) lists no extension of its own: unlisted extensions are type 1.
    s.TypeExtensionList = QStringLiteral(".mp3-2;.wma-2;.rmvb-3;.rm-4;.zip-5;.AVI-6;");
    s.TypeNameList = QStringLiteral("01-网页连接;02-音乐;03-视频;04-RM;05-压缩;06-AVI;");
    s.AnalysePages = QStringLiteral("1");
    return s;
}

QString parentCaption(const TreeNode *node)
{
    return node->parent() ? node->parent()->caption() : QStringLiteral("<top>");
}

} // namespace

class TestClassify : public QObject {
    Q_OBJECT
private slots:
    void lastPosAndCountChar_data();
    void lastPosAndCountChar();
    void files_data();
    void files();
    void duplicates();
    void pageAnalysisOff();
    void missingCategoryGoesToTopLevel();
    void typeMissingFromNamesTakesFirstEntry();
    void typeBelowOneIsNotFiled();
    void ignoreQuery_data();
    void ignoreQuery();
    void capturedHeadersGoWithTheNode();
    void sameAsCaptured_data();
    void sameAsCaptured();
    void mediaAskedFor_data();
    void mediaAskedFor();
    void typeIfUnknown_data();
    void typeIfUnknown();
};

void TestClassify::lastPosAndCountChar_data()
{
    QTest::addColumn<QString>("sub");
    QTest::addColumn<QString>("s");
    QTest::addColumn<int>("lastPos");
    QTest::addColumn<int>("count");
    QTest::newRow("last slash") << "/" << "a.test/d/p.htm" << 9 << 2;
    QTest::newRow("absent") << "/" << "abc" << 1 << 0;
    QTest::newRow("only at 1") << "/" << "/abc" << 1 << 1;
    QTest::newRow("blank text") << "/" << "   " << 0 << 0;
    QTest::newRow("empty text") << "." << "" << 0 << 0;
    QTest::newRow("dot at end") << "." << "x." << 2 << 1;
    QTest::newRow("not one character") << "//" << "a//b" << 2 << 0;
}

void TestClassify::lastPosAndCountChar()
{
    QFETCH(QString, sub);
    QFETCH(QString, s);
    QFETCH(int, lastPos);
    QFETCH(int, count);
    QCOMPARE(LastPos(sub, s), lastPos);
    QCOMPARE(CountChar(sub, s), count);
}

void TestClassify::files_data()
{
    QTest::addColumn<QString>("baseLink"); // "-" for no base node
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QString>("parent");
    QTest::addColumn<QString>("link");
    QTest::addColumn<QString>("mark");
    QTest::addColumn<int>("image");

    const QString p = QStringLiteral("http://a.test/d/p.htm");
    QTest::newRow("absolute, extension in capitals")
        << "-" << 0 << "http://a.test/m/x.MP3" << "http://a.test/m/x.MP3" << "02-音乐"
        << "http://a.test/m/x.MP3 " << "02" << 2;
    QTest::newRow("downloaded side") << "-" << 1 << "http://a.test/m/x.mp3" << "http://a.test/m/x.mp3"
                                     << "√02-音乐" << "http://a.test/m/x.mp3 " << "02" << 2;
    QTest::newRow("query makes it a page") << "-" << 0 << "http://a.test/x.mp3?id=1" << "http://a.test/x.mp3?id=1"
                                           << "01-网页连接" << "http://a.test/x.mp3?id=1 " << "01" << 1;
    QTest::newRow("folder is a page") << "-" << 0 << "http://a.test/dir/" << "http://a.test/dir/" << "01-网页连接"
                                      << "http://a.test/dir/ " << "01" << 1;
    QTest::newRow("trailing dot takes the first entry") << "-" << 0 << "http://a.test/x." << "http://a.test/x."
                                                        << "02-音乐" << "http://a.test/x. " << "02" << 2;
    QTest::newRow("substring match .rm in .rmvb") << "-" << 0 << "http://a.test/v.rm" << "http://a.test/v.rm"
                                                  << "03-视频" << "http://a.test/v.rm " << "03" << 3;
    QTest::newRow("extension listed in capitals never matches")
        << "-" << 0 << "http://a.test/v.AVI" << "http://a.test/v.AVI" << "01-网页连接" << "http://a.test/v.AVI "
        << "01" << 1;
    QTest::newRow("ftp inside a path counts as absolute") << p << 0 << "/pub/ftpfiles/x.zip" << "/pub/ftpfiles/x.zip"
                                                          << "05-压缩" << "/pub/ftpfiles/x.zip " << "05" << 5;
    QTest::newRow("caption prefix") << "-" << 0 << "song~http://a.test/x.mp3" << "songhttp://a.test/x.mp3"
                                    << "02-音乐" << "http://a.test/x.mp3 " << "02" << 2;
    QTest::newRow("leading blank of a task row") << "-" << 1 << " http://a.test/y.wma" << "http://a.test/y.wma"
                                                 << "√02-音乐" << "http://a.test/y.wma " << "02" << 2;
    QTest::newRow("double quotes") << "-" << 0 << "\"http://a.test/q.mp3\"" << "http://a.test/q.mp3" << "02-音乐"
                                   << "http://a.test/q.mp3 " << "02" << 2;
    // A byte that was not GBK (base/gbk_text.h) is kept; where a removed quote brings it
    // next to a byte it forms a character with, the caption is what those bytes read.
    QTest::newRow("byte that is not GBK") << "-" << 0 << fromGbk("http://a.test/\xFF.mp3")
                                          << u"http://a.test/\uEFFF.mp3"_qs << "02-音乐"
                                          << u"http://a.test/\uEFFF.mp3 "_qs << "02" << 2;
    QTest::newRow("quote between a lead byte and a letter")
        << "-" << 0 << fromGbk("http://a.test/\x81\"A.mp3") << fromGbk("http://a.test/\x81" "A.mp3") << "02-音乐"
        << fromGbk("http://a.test/\x81" "A.mp3 ") << "02" << 2;
    QTest::newRow("escaped quotes") << "-" << 0 << "\\\"http://a.test/e.mp3\\\"" << "http://a.test/e.mp3"
                                    << "02-音乐" << "http://a.test/e.mp3 " << "02" << 2;

    // Relative addresses against http://a.test/d/p.htm: the base becomes a.test/d/.
    QTest::newRow("file name alone") << p << 0 << "x.mp3" << "http://a.test/d//x.mp3" << "02-音乐"
                                     << "http://a.test/d//x.mp3 " << "02" << 2;
    QTest::newRow("sub folder") << p << 0 << "sub/x.mp3" << "http://a.test/d/sub/x.mp3" << "02-音乐"
                                << "http://a.test/d/sub/x.mp3 " << "02" << 2;
    QTest::newRow("slash at 2 stays relative") << p << 0 << "d/x.mp3" << "d/x.mp3" << "02-音乐" << "d/x.mp3 "
                                               << "02" << 2;
    QTest::newRow("folder the base ends with")
        << "http://a.test/dd/p.htm" << 0 << "dd/x.mp3" << "http://a.test/dd/x.mp3" << "02-音乐"
        << "http://a.test/dd/x.mp3 " << "02" << 2;
    QTest::newRow("rooted, two slashes") << p << 0 << "/m/x.mp3" << "http://a.test//m/x.mp3" << "02-音乐"
                                         << "http://a.test//m/x.mp3 " << "02" << 2;
    QTest::newRow("rooted, one slash") << p << 0 << "/x.mp3" << "http://a.test/d//x.mp3" << "02-音乐"
                                       << "http://a.test/d//x.mp3 " << "02" << 2;
    QTest::newRow("parent folder") << p << 0 << "../x.mp3" << "http://a.test/d/../x.mp3" << "02-音乐"
                                   << "http://a.test/d/../x.mp3 " << "02" << 2;
    QTest::newRow("script call is not resolved") << p << 0 << "window.open('x.mp3')" << "window.open(x.mp3)"
                                                 << "01-网页连接" << "window.open(x.mp3) " << "01" << 1;
    QTest::newRow("base without path") << "http://a.test" << 0 << "x.mp3" << "http://a.test//x.mp3" << "02-音乐"
                                       << "http://a.test//x.mp3 " << "02" << 2;
    QTest::newRow("base with its stored blank") << "http://a.test " << 0 << "x.mp3" << "http://a.test //x.mp3"
                                                << "02-音乐" << "http://a.test //x.mp3 " << "02" << 2;
    QTest::newRow("FoundRoot as base") << "" << 0 << "x.mp3" << "http:////x.mp3" << "02-音乐"
                                       << "http:////x.mp3 " << "02" << 2;
}

void TestClassify::files()
{
    QFETCH(QString, baseLink);
    QFETCH(int, mode);
    QFETCH(QString, text);
    QFETCH(QString, caption);
    QFETCH(QString, parent);
    QFETCH(QString, link);
    QFETCH(QString, mark);
    QFETCH(int, image);

    const SettingsValues settings = typeTable();
    ResourceTree tree;
    tree.BuildCategories(settings.TypeNameList);
    const TreeNode *base = nullptr;
    if (baseLink.isEmpty())
        base = tree.FoundRoot();
    else if (baseLink != QLatin1String("-"))
        base = tree.add(tree.FindByCaption(QStringLiteral("01-网页连接")),
                        {.caption = TrimBlanks(baseLink), .mark = "01", .link = baseLink, .image = 1});

    const Classification c = ClassifyLink(tree, settings, base, FileMode(mode), text);
    QCOMPARE(c.outcome, Classification::Filed);
    QVERIFY(c.node);
    QCOMPARE(c.node->caption(), caption);
    QCOMPARE(parentCaption(c.node), parent);
    QCOMPARE(c.node->Link(), link);
    QCOMPARE(c.node->Mark(), mark);
    QCOMPARE(c.node->imageIndex(), image);
    QCOMPARE(c.node->checkBox(), CheckBox::Unchecked);
    QCOMPARE(tree.FindByCaption(caption), c.node);
    QCOMPARE(c.showHint, mark == QLatin1String("01"));
}

void TestClassify::duplicates()
{
    const SettingsValues settings = typeTable();
    ResourceTree tree;
    tree.BuildCategories(settings.TypeNameList);
    const int before = tree.count();
    QCOMPARE(ClassifyLink(tree, settings, nullptr, FileMode::Found, "http://a.test/m/x.mp3").outcome,
             Classification::Filed);
    for (const auto &[mode, text] : std::initializer_list<std::pair<FileMode, QString>>{
             {FileMode::Found, "http://a.test/m/x.mp3"},
             {FileMode::Found, "HTTP://A.TEST/m/x.mp3"},     // ASCII case ignored
             {FileMode::Downloaded, "http://a.test/m/x.mp3"}, // present on the other side
             {FileMode::Found, "  http://a.test/m/x.mp3  "},
             {FileMode::Found, "02-音乐"},                    // a category's caption
         }) {
        const Classification c = ClassifyLink(tree, settings, nullptr, mode, text);
        QCOMPARE(c.outcome, Classification::Duplicate);
    }
    QCOMPARE(tree.count(), before + 1);

    // Different bytes are different captions, also bytes that are not GBK.
    QCOMPARE(ClassifyLink(tree, settings, nullptr, FileMode::Found, fromGbk("http://a.test/\x87.mp3")).outcome,
             Classification::Filed);
    QCOMPARE(ClassifyLink(tree, settings, nullptr, FileMode::Found, fromGbk("http://a.test/\xFF.mp3")).outcome,
             Classification::Filed);
    QCOMPARE(ClassifyLink(tree, settings, nullptr, FileMode::Found, fromGbk("http://a.test/\xFF.mp3")).outcome,
             Classification::Duplicate);
    // The same bytes are the same caption, however an edit left the text.
    QCOMPARE(ClassifyLink(tree, settings, nullptr, FileMode::Found, fromGbk("http://a.test/\x81" "A.mp3")).outcome,
             Classification::Filed);
    QCOMPARE(ClassifyLink(tree, settings, nullptr, FileMode::Found, fromGbk("http://a.test/\x81'A.mp3")).outcome,
             Classification::Duplicate);
    QCOMPARE(tree.count(), before + 4);

    // Case beyond ASCII is not folded: a different character is a different caption.
    QCOMPARE(ClassifyLink(tree, settings, nullptr, FileMode::Found, "http://a.test/音乐.mp3").outcome,
             Classification::Filed);
    QCOMPARE(ClassifyLink(tree, settings, nullptr, FileMode::Found, "http://a.test/音樂.mp3").outcome,
             Classification::Filed);
}

void TestClassify::pageAnalysisOff()
{
    SettingsValues settings = typeTable();
    ResourceTree tree;
    tree.BuildCategories(settings.TypeNameList);
    for (const char *value : {"0", "", " 1", "yes"}) {
        settings.AnalysePages = QString::fromLatin1(value);
        const Classification c = ClassifyLink(tree, settings, nullptr, FileMode::Found, "http://a.test/page.php");
        QCOMPARE(c.outcome, Classification::PagesOff);
        QVERIFY(!c.showHint);
    }
    QCOMPARE(ClassifyLink(tree, settings, nullptr, FileMode::Found, "http://a.test/s.mp3").outcome,
             Classification::Filed);
}

void TestClassify::missingCategoryGoesToTopLevel()
{
    SettingsValues settings = typeTable();
    settings.TypeNameList = QStringLiteral("01-pages;02-音乐;"); // type 1 named otherwise
    ResourceTree tree;
    tree.BuildCategories(settings.TypeNameList);
    Classification c = ClassifyLink(tree, settings, nullptr, FileMode::Found, "http://a.test/");
    QCOMPARE(c.outcome, Classification::Filed);
    QVERIFY(tree.isTopLevel(c.node));
    QCOMPARE(tree.topLevel(tree.topLevelCount() - 1), c.node);

    tree.deleteNode(tree.FindByCaption(QStringLiteral("√02-音乐")));
    c = ClassifyLink(tree, settings, nullptr, FileMode::Downloaded, "http://a.test/z.mp3");
    QVERIFY(tree.isTopLevel(c.node));
    QCOMPARE(c.node->Mark(), QStringLiteral("02"));
}

void TestClassify::typeMissingFromNamesTakesFirstEntry()
{
    SettingsValues settings = typeTable();
    settings.TypeExtensionList = QStringLiteral(".ogg-9;");
    ResourceTree tree;
    tree.BuildCategories(settings.TypeNameList);
    const Classification c = ClassifyLink(tree, settings, nullptr, FileMode::Found, "http://a.test/a.ogg");
    QCOMPARE(parentCaption(c.node), QStringLiteral("01-网页连接"));
    QCOMPARE(c.node->Mark(), QStringLiteral("09"));
    QCOMPARE(c.node->imageIndex(), 9);
    QVERIFY(!c.showHint); // the hint belongs to type 1 alone
}

// hlcs: the extension from the path alone, without query and fragment; off, the written
// rule (everything after the last "."). The address filed stays whole either way.
void TestClassify::ignoreQuery_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("typeOff");
    QTest::addColumn<int>("typeOn");
    QTest::newRow("a query") << "http://a.test/x.mp3?id=1" << 1 << 2;
    QTest::newRow("a query with dots") << "http://a.test/v/x.mp3?token=a.b" << 1 << 2;
    QTest::newRow("a fragment") << "http://a.test/x.mp3#t=10" << 1 << 2;
    QTest::newRow("a query, then a fragment") << "http://a.test/x.zip?a=1#b.c" << 1 << 5;
    QTest::newRow("the extension only in the query") << "http://a.test/dir/?f=x.mp3" << 2 << 1;
    QTest::newRow("a fragment only in the query") << "http://a.test/get.php?f=x.mp3" << 2 << 1;
    QTest::newRow("no query") << "http://a.test/x.mp3" << 2 << 2;
    QTest::newRow("trailing dot before a query: the first entry") << "http://a.test/x.?a" << 1 << 2;
    QTest::newRow("substring match survives") << "http://a.test/v.rm?x=1" << 1 << 3;
    QTest::newRow("capitals in the table still never match") << "http://a.test/v.AVI?x=1" << 1 << 1;
    QTest::newRow("an empty query") << "http://a.test/x.wma?" << 1 << 2;
    QTest::newRow("a relative address with a query") << "x.mp3?id=1" << 1 << 2;
}

void TestClassify::ignoreQuery()
{
    QFETCH(QString, text);
    QFETCH(int, typeOff);
    QFETCH(int, typeOn);
    for (const bool on : {false, true}) {
        SettingsValues settings = typeTable();
        settings.IgnoreQuery = on;
        ResourceTree tree;
        tree.BuildCategories(settings.TypeNameList);
        const TreeNode *base = tree.add(tree.FindByCaption(QStringLiteral("01-网页连接")),
                                        {.caption = "http://a.test/d/p.htm", .mark = "01", .link = "http://a.test/d/p.htm", .image = 1});
        const Classification c = ClassifyLink(tree, settings, base, FileMode::Found, text);
        QCOMPARE(c.type, on ? typeOn : typeOff);
        QCOMPARE(c.outcome, Classification::Filed);
        // The address is filed and kept whole, query and fragment included.
        QVERIFY2(c.node->Link().contains(text.mid(text.indexOf('?') < 0 ? text.indexOf('#') : text.indexOf('?'))),
                 qPrintable(c.node->Link()));
        if (text.startsWith("http"))
            QCOMPARE(c.node->Link(), text + ' ');
        // The category a list is sorted by is the one ClassifyLink files under.
        if (text.startsWith("http"))
            QCOMPARE(CategoryOfAddress(settings, text), parentCaption(c.node));
    }
}

// The headers of the request that found a resource go with its node, in memory; captured
// again, the newest are kept.
void TestClassify::capturedHeadersGoWithTheNode()
{
    const SettingsValues settings = typeTable();
    ResourceTree tree;
    tree.BuildCategories(settings.TypeNameList);
    const RequestHeaders first = RequestHeaders::captured("http://a.test/page", "s=1", "UA/1");
    const RequestHeaders renewed = RequestHeaders::captured("http://a.test/page", "s=2", "UA/1");
    const Classification c = ClassifyLink(tree, settings, nullptr, FileMode::Found, "http://a.test/x.mp3", &first);
    QCOMPARE(c.outcome, Classification::Filed);
    QVERIFY(c.node->headers());
    QCOMPARE(*c.node->headers(), first);
    QCOMPARE(ClassifyLink(tree, settings, nullptr, FileMode::Found, "http://a.test/x.mp3", &renewed).outcome,
             Classification::Duplicate);
    QCOMPARE(*c.node->headers(), renewed);
    // Seen again without headers (a list, a finished download): the ones it has stay.
    const RequestHeaders none;
    ClassifyLink(tree, settings, nullptr, FileMode::Found, "http://a.test/x.mp3", &none);
    ClassifyLink(tree, settings, nullptr, FileMode::Downloaded, "http://a.test/x.mp3");
    QCOMPARE(*c.node->headers(), renewed);
    // A category's caption never takes headers, and a resource filed without any has none.
    ClassifyLink(tree, settings, nullptr, FileMode::Found, "02-音乐", &first);
    QVERIFY(!tree.FindByCaption("02-音乐")->headers());
    QVERIFY(!ClassifyLink(tree, settings, nullptr, FileMode::Found, "http://a.test/y.mp3").node->headers());
}

// The check the capture road makes before filing a stream's request again agrees with
// comparing the headers captured() would make, value by value.
void TestClassify::sameAsCaptured_data()
{
    QTest::addColumn<QByteArray>("referer");
    QTest::addColumn<QByteArray>("cookie");
    QTest::addColumn<QByteArray>("userAgent");

    QTest::newRow("as held") << QByteArray("http://a.test/p") << QByteArray("s=1") << QByteArray("UA/1");
    QTest::newRow("blanks around") << QByteArray(" http://a.test/p\t") << QByteArray("s=1 ") << QByteArray("\tUA/1");
    QTest::newRow("other cookie") << QByteArray("http://a.test/p") << QByteArray("s=2") << QByteArray("UA/1");
    QTest::newRow("cookie with a line break") << QByteArray("http://a.test/p") << QByteArray("s=1\r\nX: y")
                                              << QByteArray("UA/1");
    QTest::newRow("none") << QByteArray() << QByteArray() << QByteArray();
    QTest::newRow("too long") << QByteArray("http://a.test/p") << QByteArray(RequestHeaders::kMaxValue + 1, 's')
                              << QByteArray("UA/1");
    QTest::newRow("only blanks") << QByteArray("  ") << QByteArray() << QByteArray("\t");
}

void TestClassify::sameAsCaptured()
{
    QFETCH(QByteArray, referer);
    QFETCH(QByteArray, cookie);
    QFETCH(QByteArray, userAgent);
    const RequestHeaders fromWire = RequestHeaders::captured(referer, cookie, userAgent);
    for (const RequestHeaders &held : {RequestHeaders::captured("http://a.test/p", "s=1", "UA/1"),
                                       RequestHeaders::captured("http://a.test/p", {}, "UA/1"), RequestHeaders()})
        QCOMPARE(held.sameAsCaptured(referer, cookie, userAgent), held == fromWire);
}

void TestClassify::typeBelowOneIsNotFiled()
{
    SettingsValues settings = typeTable();
    settings.TypeExtensionList = QStringLiteral(".bad--3;.zero-0;");
    ResourceTree tree;
    tree.BuildCategories(settings.TypeNameList);
    const int before = tree.count();
    QCOMPARE(ClassifyLink(tree, settings, nullptr, FileMode::Found, "http://a.test/a.bad").outcome,
             Classification::NoType);
    QCOMPARE(ClassifyLink(tree, settings, nullptr, FileMode::Found, "http://a.test/a.zero").outcome,
             Classification::NoType);
    QCOMPARE(tree.count(), before);
}

// What a request says it fetches, from its Sec-Fetch-Dest, Range and Accept.
void TestClassify::mediaAskedFor_data()
{
    QTest::addColumn<QByteArray>("dest");
    QTest::addColumn<QByteArray>("range");
    QTest::addColumn<QByteArray>("accept");
    QTest::addColumn<int>("media");
    const int none = int(AskedMedia::None), video = int(AskedMedia::Video), audio = int(AskedMedia::Audio),
              image = int(AskedMedia::Image);
    const QByteArray chromeImage("image/avif,image/webp,image/apng,image/svg+xml,image/*,*/*;q=0.8");
    const QByteArray chromePage("text/html,application/xhtml+xml,application/xml;q=0.9,image/avif,image/webp,*/*;q=0.8");
    QTest::newRow("video") << QByteArray("video") << QByteArray("bytes=0-") << QByteArray("*/*") << video;
    QTest::newRow("audio") << QByteArray("audio") << QByteArray() << QByteArray() << audio;
    QTest::newRow("image") << QByteArray("image") << QByteArray() << chromeImage << image;
    QTest::newRow("a destination in capitals") << QByteArray("Video") << QByteArray() << QByteArray() << video;
    QTest::newRow("a page") << QByteArray("document") << QByteArray() << chromePage << none;
    QTest::newRow("a page asked by range names its destination")
        << QByteArray("document") << QByteArray("bytes=0-") << QByteArray() << none;
    QTest::newRow("a subtitle track") << QByteArray("track") << QByteArray() << QByteArray() << none;
    QTest::newRow("a script accepting pictures") << QByteArray("script") << QByteArray() << chromeImage << none;
    QTest::newRow("fetch() by range") << QByteArray("empty") << QByteArray("bytes=1000-1999") << QByteArray() << video;
    QTest::newRow("no destination, by range") << QByteArray() << QByteArray("bytes=0-") << QByteArray() << video;
    QTest::newRow("a range unit in capitals") << QByteArray() << QByteArray("BYTES=0-") << QByteArray() << video;
    QTest::newRow("a range in another unit") << QByteArray() << QByteArray("items=0-9") << QByteArray() << none;
    QTest::newRow("no destination, pictures first") << QByteArray() << QByteArray() << chromeImage << image;
    QTest::newRow("one picture type with a weight")
        << QByteArray() << QByteArray() << QByteArray("image/png;q=1") << image;
    QTest::newRow("a page's Accept lists pictures later") << QByteArray() << QByteArray() << chromePage << none;
    QTest::newRow("anything") << QByteArray() << QByteArray() << QByteArray("*/*") << none;
    QTest::newRow("nothing said") << QByteArray() << QByteArray() << QByteArray() << none;
}

void TestClassify::mediaAskedFor()
{
    QFETCH(QByteArray, dest);
    QFETCH(QByteArray, range);
    QFETCH(QByteArray, accept);
    QFETCH(int, media);
    QCOMPARE(int(MediaAskedFor(FetchHints::captured(dest, range, accept))), media);
}

// The type asked for files an address whose extension the table does not know, into a
// category the tree has; an extension the table knows decides, whatever was asked.
void TestClassify::typeIfUnknown_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("typeIfUnknown");
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("parent");
    QTest::newRow("no extension") << "http://a.test/stream/42" << 3 << 0 << "03-视频";
    QTest::newRow("no extension, downloaded side") << "http://a.test/stream/42" << 3 << 1 << "√03-视频";
    QTest::newRow("an extension the table does not know") << "http://a.test/v.xyz" << 2 << 0 << "02-音乐";
    QTest::newRow("a query") << "http://a.test/img?id=7" << 5 << 0 << "05-压缩";
    QTest::newRow("a known extension wins") << "http://a.test/x.zip" << 3 << 0 << "05-压缩";
    QTest::newRow("a known type-1 extension wins") << "http://a.test/p.htm" << 3 << 0 << "01-网页连接";
    QTest::newRow("nothing asked") << "http://a.test/stream/42" << 0 << 0 << "01-网页连接";
    QTest::newRow("type 1 asked is no media") << "http://a.test/stream/42" << 1 << 0 << "01-网页连接";
    QTest::newRow("a type without a category") << "http://a.test/stream/42" << 9 << 0 << "01-网页连接";
}

void TestClassify::typeIfUnknown()
{
    QFETCH(QString, text);
    QFETCH(int, typeIfUnknown);
    QFETCH(int, mode);
    QFETCH(QString, parent);
    SettingsValues settings = typeTable();
    settings.TypeExtensionList += QStringLiteral(".htm-1;");
    settings.TypeNameList = QStringLiteral("01-网页连接;02-音乐;03-视频;04-RM;05-压缩;06-AVI;");
    ResourceTree tree;
    tree.BuildCategories(settings.TypeNameList);
    if (typeIfUnknown == 9) {
        // A name list without type 9 would take its first entry: a table whose type 9 has
        // an extension but no category node at all.
        settings.TypeNameList += QStringLiteral("09-无分类;");
    }
    const Classification c = ClassifyLink(tree, settings, nullptr, FileMode(mode), text, nullptr, Admission::Always,
                                          typeIfUnknown);
    QCOMPARE(c.outcome, Classification::Filed);
    QCOMPARE(parentCaption(c.node), parent);
    QCOMPARE(c.node->Link(), text + ' '); // the address filed as it came
}

QTEST_APPLESS_MAIN(TestClassify)
#include "test_classify.moc"
