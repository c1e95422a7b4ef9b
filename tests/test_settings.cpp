// settings/: the shared helpers, GBK text, profile files and config.ini.
#include "base/gbk_text.h"
#include "base/gydy.h"
#include "settings/config_file.h"
#include "settings/file_places.h"
#include "settings/profile_file.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

using namespace quorrel;

namespace {

// GBK bytes written out by hand, so that the expectations do not lean on the converter.
const QByteArray kWangYeLianJie("\xCD\xF8\xD2\xB3\xC1\xAC\xBD\xD3"); // 网页连接
const QByteArray kYinYue("\xD2\xF4\xC0\xD6");                     // 音乐
const QByteArray kXiaZai("\xCF\xC2\xD4\xD8");                     // 下载
const QByteArray kCheckMark("\xA1\xCC");                          // √
const QByteArray kZhong("\xD6\xD0");                              // 中

const QString kDefault = QStringLiteral("<default>");
const std::optional<QString> kNoError;
const QString kDefaultSavePath = QStringLiteral("/home/user/Downloads");

QByteArray readBytes(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray("<unreadable>");
    return file.readAll();
}

bool writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        && file.write(bytes) == bytes.size();
}

// A config.ini fixture: the section header, then the given lines.
QByteArray xt(const QByteArray &body) { return QByteArray("[XT]\r\n") + body; }

QList<TypeRow> typeRows(const QStringList &names, const QStringList &extensions)
{
    QList<TypeRow> rows;
    for (qsizetype i = 0; i < names.size(); ++i)
        rows.append({names[i], i < extensions.size() ? extensions[i] : QString()});
    return rows;
}

bool runningAsRoot() { return geteuid() == 0; }

} // namespace

// Failure messages show the text of an error, or that there was none.
template <>
char *QTest::toString(const std::optional<QString> &error)
{
    return error ? QTest::toString(*error) : qstrdup("no error");
}

class TestSettings : public QObject {
    Q_OBJECT

private slots:
    // Shared helpers
    void pathDirectory_data();
    void pathDirectory();
    void zeroPad_data();
    void zeroPad();
    void trimBlanks_data();
    void trimBlanks();
    void readDecimal_data();
    void readDecimal();
    void handsOverDownloads_data();
    void handsOverDownloads();
    void aria2Keys_data();
    void aria2Keys();

    // GBK text
    void gbkRoundTrip_data();
    void gbkRoundTrip();
    void gbkDamagedBytes_data();
    void gbkDamagedBytes();
    void gbkEveryByteSurvives();
    void gbkUnmappable_data();
    void gbkUnmappable();

    // Reading profile files
    void profileValue_data();
    void profileValue();
    void profileValueLength_data();
    void profileValueLength();
    void profileKeys_data();
    void profileKeys();
    void profileMissingFile();
    void profileUnreadableFile();

    // Writing profile files
    void writeProfile_data();
    void writeProfile();
    void writeCreatesFile();
    void writeReadsBack_data();
    void writeReadsBack();
    void writeRefused_data();
    void writeRefused();
    void writeRefusesWhatCannotBeStored_data();
    void writeRefusesWhatCannotBeStored();
    void writeExistingFileInReadOnlyFolder();
    void writeNewFileInReadOnlyFolder();

    // config.ini
    void readSettingsMissingFile();
    void readSettings_data();
    void readSettings();
    void readSettingsPromptRename_data();
    void readSettingsPromptRename();
    void readSettingsTypeExtensionList_data();
    void readSettingsTypeExtensionList();
    void readSettingsUnreadableFile();
    void validateTypeGrid_data();
    void validateTypeGrid();
    void invalidGridMessage_data();
    void invalidGridMessage();
    void writeSettingsFormNewFile();
    void writeSettingsFormExistingFile();
    void writeSettingsFormWithoutRows();
    void writeSettingsFormHundredTypes();
    void writeSettingsFormRefused();
    void writeSettingsFormRefusedWritesNothing_data();
    void writeSettingsFormRefusedWritesNothing();
    void saveThenLoad();
    void readTypeGrid_data();
    void readTypeGrid();
    void readTypeGridUnreadableFile();

    // Where the files live
    void filePlaces_data();
    void filePlaces();
    void prepareCopiesTheStarterOnce();
    void prepareFailures_data();
    void prepareFailures();
};

// ---------------------------------------------------------------------------------------
// Shared helpers

void TestSettings::pathDirectory_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("directory");
    QTest::newRow("program in a folder") << "/opt/quorrel/bin/quorrel" << "/opt/quorrel/bin";
    QTest::newRow("program in the root keeps the separator") << "/quorrel" << "/";
    QTest::newRow("last separator counts") << "/a/b.c/d" << "/a/b.c";
    QTest::newRow("trailing separator") << "/a/b/" << "/a/b";
    QTest::newRow("relative path") << "bin/quorrel" << "bin";
    QTest::newRow("no separator") << "quorrel" << "";
    QTest::newRow("empty") << "" << "";
    QTest::newRow("root alone") << "/" << "/";
}

void TestSettings::pathDirectory()
{
    QFETCH(QString, path);
    QFETCH(QString, directory);
    QCOMPARE(PathDirectory(path), directory);
}

void TestSettings::zeroPad_data()
{
    QTest::addColumn<qlonglong>("number");
    QTest::addColumn<int>("width");
    QTest::addColumn<QString>("text");
    QTest::newRow("7 widened") << 7LL << 2 << "07";
    QTest::newRow("12 as wide as asked") << 12LL << 2 << "12";
    QTest::newRow("123 longer than asked") << 123LL << 2 << "123";
    QTest::newRow("hundredth type") << 100LL << 2 << "100";
    QTest::newRow("width 3") << 5LL << 3 << "005";
    QTest::newRow("width 0") << 5LL << 0 << "5";
}

void TestSettings::zeroPad()
{
    QFETCH(qlonglong, number);
    QFETCH(int, width);
    QFETCH(QString, text);
    QCOMPARE(ZeroPad(number, width), text);
}

void TestSettings::trimBlanks_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("trimmed");
    QTest::newRow("blanks and tabs") << " \t a b \t " << "a b";
    QTest::newRow("line ends") << "\r\nx\r\n" << "x";
    QTest::newRow("every control character") << QString::fromLatin1("\x01\x1f y \x7f") << "y \x7f";
    QTest::newRow("inner blanks stay") << "a  b" << "a  b";
    QTest::newRow("only blanks") << " \t\r\n" << "";
    QTest::newRow("empty") << "" << "";
    QTest::newRow("ideographic space is not a blank") << u"\u3000中\u3000"_qs << u"\u3000中\u3000"_qs;
    QTest::newRow("Chinese") << " 网页连接 " << "网页连接";
}

void TestSettings::trimBlanks()
{
    QFETCH(QString, text);
    QFETCH(QString, trimmed);
    QCOMPARE(TrimBlanks(text), trimmed);
    QCOMPARE(TrimBlanks(QStringView(text)).toString(), trimmed);
}

void TestSettings::readDecimal_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<int>("value");
    QTest::newRow("zero") << "0" << true << 0;
    QTest::newRow("ten") << "10" << true << 10;
    QTest::newRow("leading zeros") << "007" << true << 7;
    QTest::newRow("minus") << "-5" << true << -5;
    QTest::newRow("plus") << "+3" << true << 3;
    QTest::newRow("largest int") << "2147483647" << true << 2147483647;
    QTest::newRow("smallest int") << "-2147483648" << true << int(-2147483647 - 1);
    QTest::newRow("one past largest") << "2147483648" << false << 0;
    QTest::newRow("one past smallest") << "-2147483649" << false << 0;
    QTest::newRow("very long") << "99999999999999999999999" << false << 0;
    QTest::newRow("empty") << "" << false << 0;
    QTest::newRow("sign alone") << "-" << false << 0;
    QTest::newRow("letters") << "abc" << false << 0;
    QTest::newRow("trailing letter") << "12a" << false << 0;
    QTest::newRow("leading blank") << " 1" << false << 0;
    QTest::newRow("trailing blank") << "1 " << false << 0;
    QTest::newRow("decimal point") << "3.0" << false << 0;
    QTest::newRow("hexadecimal") << "0x10" << false << 0;
    QTest::newRow("full-width digit") << u"\uFF11"_qs << false << 0;
    QTest::newRow("two signs") << "+-1" << false << 0;
}

void TestSettings::readDecimal()
{
    QFETCH(QString, text);
    QFETCH(bool, ok);
    QFETCH(int, value);
    int read = 0;
    QCOMPARE(ReadDecimal(text, read), ok);
    if (ok)
        QCOMPARE(read, value);
}

void TestSettings::handsOverDownloads_data()
{
    QTest::addColumn<QString>("downloadMode");
    QTest::addColumn<bool>("handsOver");
    QTest::addColumn<bool>("toAria2");
    QTest::newRow("another tool") << "1" << true << false;
    QTest::newRow("this program") << "0" << false << false;
    QTest::newRow("nothing selected") << "-1" << false << false;
    QTest::newRow("empty") << "" << false << false;
    QTest::newRow("two") << "2" << true << true;
    QTest::newRow("three") << "3" << true << false;
    QTest::newRow("two between blanks sorts first") << " 2" << false << false;
    QTest::newRow("leading blank sorts first") << " 1" << false << false;
}

void TestSettings::handsOverDownloads()
{
    QFETCH(QString, downloadMode);
    QFETCH(bool, handsOver);
    QFETCH(bool, toAria2);
    SettingsValues values;
    values.DownloadMode = downloadMode;
    QCOMPARE(values.handsOverDownloads(), handsOver);
    QCOMPARE(values.handsOverToAria2(), toAria2);
}

// aria2's endpoint and secret: aria2c's default address when aria2dz is absent or blank.
void TestSettings::aria2Keys_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("secret");
    QTest::newRow("absent") << QByteArray() << "http://127.0.0.1:6800/jsonrpc" << "";
    QTest::newRow("blank") << QByteArray("aria2dz=  \r\n") << "http://127.0.0.1:6800/jsonrpc" << "";
    QTest::newRow("both") << QByteArray("aria2dz= http://[::1]:6801/jsonrpc \r\naria2my=s3cret\r\n")
                          << "http://[::1]:6801/jsonrpc" << "s3cret";
}

void TestSettings::aria2Keys()
{
    QFETCH(QByteArray, body);
    QFETCH(QString, address);
    QFETCH(QString, secret);
    QTemporaryDir dir;
    const QString path = dir.filePath("config.ini");
    QVERIFY(writeBytes(path, xt(body)));
    const SettingsValues values = ReadSettingsValues(path, kDefaultSavePath);
    QCOMPARE(values.Aria2Address, address);
    QCOMPARE(values.Aria2Secret, secret);
}

// ---------------------------------------------------------------------------------------
// GBK text

void TestSettings::gbkRoundTrip_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("page-link type name") << "网页连接" << kWangYeLianJie;
    QTest::newRow("check mark") << "√" << kCheckMark;
    QTest::newRow("name list entry") << "01-网页连接;" << QByteArray("01-") + kWangYeLianJie + ";";
    QTest::newRow("ASCII") << "/home/user/x.mp3" << QByteArray("/home/user/x.mp3");
    QTest::newRow("empty") << "" << QByteArray();
    QTest::newRow("euro sign of code page 936") << u"\u20AC"_qs << QByteArray("\x80");
}

void TestSettings::gbkRoundTrip()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, bytes);
    QCOMPARE(toGbk(text), bytes);
    QCOMPARE(fromGbk(bytes), text);
}

void TestSettings::gbkDamagedBytes_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("text");
    // A byte that does not begin a GBK character is kept as the character U+EF00 + byte.
    QTest::newRow("lead byte at the end") << QByteArray("a\x81") << u"a\uEF81"_qs;
    QTest::newRow("byte that is never GBK") << QByteArray("a\xFF" "b") << u"a\uEFFFb"_qs;
    QTest::newRow("lead byte before a blank") << QByteArray("\x81 b") << u"\uEF81 b"_qs;
    QTest::newRow("lead byte before a byte that cannot follow it") << QByteArray("\x87.mp3") << u"\uEF87.mp3"_qs;
    QTest::newRow("lead byte before DEL") << QByteArray("\x81\x7F") << u"\uEF81\x7F"_qs;
    QTest::newRow("damage between characters")
        << kYinYue + QByteArray("\xFF") + kXiaZai << u"音乐\uEFFF下载"_qs;
    // curl sends a path as the bytes it was given: E4 B8 is a GBK character, AD before
    // "." is not.
    QTest::newRow("raw UTF-8") << QByteArray("/\xE4\xB8\xAD.mp3") << u"/\u6D93\uEFAD.mp3"_qs;
    QTest::newRow("pairs with no character") << QByteArray("\xFE\xFE\xFE") << u"\uEFFE\uEFFE\uEFFE"_qs;
}

void TestSettings::gbkDamagedBytes()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, text);
    QCOMPARE(fromGbk(bytes), text);
    QCOMPARE(toGbk(fromGbk(bytes)), bytes); // and back, byte for byte
    QVERIFY(GbkBytesShown(text).count(QLatin1Char('%')) == text.count(QRegularExpression(u"[\uEF80-\uEFFF]"_qs)));
}

void TestSettings::gbkEveryByteSurvives()
{
    // Every byte alone, every pair of bytes, and each byte around a double-byte character
    // and a lead byte: the text read from them writes the same bytes back.
    QByteArray failures;
    const auto check = [&failures](const QByteArray &bytes) {
        if (toGbk(fromGbk(bytes)) != bytes && failures.size() < 200)
            failures += bytes.toHex(' ') + " | ";
    };
    for (int a = 0; a < 256; ++a) {
        check(QByteArray(1, char(a)));
        for (int b = 0; b < 256; ++b) {
            const QByteArray pair = QByteArray(1, char(a)) + char(b);
            check(pair);
            check(pair + '\x81');
            check(kZhong + pair);
        }
    }
    QVERIFY2(failures.isEmpty(), failures.constData());

    // Different bytes never read as the same text: the duplicate test can tell them apart.
    QCOMPARE(fromGbk("/\x87.mp3") == fromGbk("/\xFF.mp3"), false);
    // Text in the byte range that no GBK bytes stand for does not appear from real text.
    QCOMPARE(fromGbk(toGbk(u"\uE000\uF8FF"_qs)), QStringLiteral("??"));
}

void TestSettings::gbkUnmappable_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("Thai letter") << u"a\u0E01b"_qs << QByteArray("a?b");
    QTest::newRow("emoji is one character") << u"a\U0001F600b"_qs << QByteArray("a?b");
    QTest::newRow("between Chinese") << u"音\u0E01乐"_qs << QByteArray("\xD2\xF4?\xC0\xD6");
    QTest::newRow("lone high surrogate keeps what follows")
        << QStringLiteral("a") + QChar(0xD800) + QStringLiteral("bc") << QByteArray("a?bc");
}

void TestSettings::gbkUnmappable()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, bytes);
    QCOMPARE(toGbk(text), bytes);
}

// ---------------------------------------------------------------------------------------
// Reading profile files

void TestSettings::profileValue_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");

    QTest::newRow("plain") << xt("xzpath=/home/u\r\n") << "XT" << "xzpath" << "/home/u";
    QTest::newRow("section name case") << QByteArray("[xt]\r\nk=1\r\n") << "XT" << "k" << "1";
    QTest::newRow("key name case") << xt("MaxType=3\r\n") << "XT" << "maxtype" << "3";
    QTest::newRow("first section wins")
        << QByteArray("[XT]\r\nk=1\r\n[xt]\r\nk=2\r\n") << "XT" << "k" << "1";
    QTest::newRow("later section of the same name unread")
        << QByteArray("[XT]\r\na=1\r\n[XT]\r\nk=2\r\n") << "XT" << "k" << kDefault;
    QTest::newRow("first key wins") << xt("k=1\r\nK=2\r\n") << "XT" << "k" << "1";
    QTest::newRow("key of another section")
        << QByteArray("[A]\r\nk=1\r\n[XT]\r\n") << "XT" << "k" << kDefault;
    QTest::newRow("key before any section")
        << QByteArray("k=1\r\n[XT]\r\n") << "XT" << "k" << kDefault;
    QTest::newRow("missing key") << xt("a=1\r\n") << "XT" << "k" << kDefault;
    QTest::newRow("missing section") << QByteArray("[A]\r\nk=1\r\n") << "XT" << "k" << kDefault;
    QTest::newRow("blanks and tabs around") << xt(" \tk \t= \t a  b \t\r\n") << "XT" << "k" << "a  b";
    QTest::newRow("blanks around the section header")
        << QByteArray("  [ XT ]  ; note\r\nk=1\r\n") << "XT" << "k" << "1";
    QTest::newRow("requested names trimmed") << xt("k=1\r\n") << " XT " << " k " << "1";
    QTest::newRow("double quotes dropped") << xt("k=\" a \"\r\n") << "XT" << "k" << " a ";
    QTest::newRow("single quotes dropped") << xt("k='a'\r\n") << "XT" << "k" << "a";
    QTest::newRow("one pair of quotes only") << xt("k=\"\"a\"\"\r\n") << "XT" << "k" << "\"a\"";
    QTest::newRow("quotes dropped after trimming") << xt("k= 'a' \r\n") << "XT" << "k" << "a";
    QTest::newRow("mismatched quotes kept") << xt("k=\"a'\r\n") << "XT" << "k" << "\"a'";
    QTest::newRow("lone quote kept") << xt("k=\"\r\n") << "XT" << "k" << "\"";
    QTest::newRow("pair of quotes alone") << xt("k=\"\"\r\n") << "XT" << "k" << "";
    QTest::newRow("inner quotes kept") << xt("k=a\"b\"\r\n") << "XT" << "k" << "a\"b\"";
    QTest::newRow("empty value is not the default") << xt("k=\r\n") << "XT" << "k" << "";
    QTest::newRow("line without equals sign") << xt("k\r\n") << "XT" << "k" << kDefault;
    QTest::newRow("value holding an equals sign") << xt("k=a=b\r\n") << "XT" << "k" << "a=b";
    QTest::newRow("empty key name") << xt("=1\r\n") << "XT" << "" << kDefault;
    QTest::newRow("header without closing bracket")
        << QByteArray("[XT\r\nk=1\r\n") << "XT" << "k" << kDefault;
    QTest::newRow("LF line ends") << QByteArray("[XT]\na=1\nk=2\n") << "XT" << "k" << "2";
    QTest::newRow("CR line ends") << QByteArray("[XT]\ra=1\rk=2\r") << "XT" << "k" << "2";
    QTest::newRow("mixed line ends, no final one")
        << QByteArray("[XT]\r\na=1\nb=2\rk=3") << "XT" << "k" << "3";
    QTest::newRow("CR LF adds nothing to the value") << xt("k=v\r\n") << "XT" << "k" << "v";
    QTest::newRow("Chinese value") << xt("lxmc=01-" + kWangYeLianJie + ";\r\n") << "XT" << "lxmc"
                                   << "01-网页连接;";
    QTest::newRow("check mark value") << xt("k=" + kCheckMark + "\r\n") << "XT" << "k" << "√";
    QTest::newRow("Chinese key name") << xt(kYinYue + "=1\r\n") << "XT" << "音乐" << "1";
    // 0x81 0x5D is one character whose second byte is "]".
    QTest::newRow("section name with ] as a second byte")
        << QByteArray("[\x81\x5D]\r\nk=1\r\n") << fromGbk("\x81\x5D") << "k" << "1";
    // 0x81 0x41 and 0x81 0x61 are two different characters: their second bytes are not letters.
    QTest::newRow("second byte like a capital is not folded")
        << xt("\x81\x41=1\r\n") << "XT" << fromGbk("\x81\x61") << kDefault;
    QTest::newRow("same double-byte key") << xt("\x81\x41=1\r\n") << "XT" << fromGbk("\x81\x41") << "1";
    QTest::newRow("non-ASCII letter case matters")
        << xt("\xA7\xA1=1\r\n") << "XT" << u"\u044F"_qs /* я; the file holds Я */ << kDefault;
}

void TestSettings::profileValue()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, section);
    QFETCH(QString, key);
    QFETCH(QString, value);
    QTemporaryDir dir;
    const QString path = dir.filePath("config.ini");
    QVERIFY(writeBytes(path, file));
    const Profile profile = Profile::read(path);
    QCOMPARE(profile.value(section, key, kDefault), value);
    QVERIFY(!profile.readError());
}

void TestSettings::profileValueLength_data()
{
    QTest::addColumn<QByteArray>("stored");
    QTest::addColumn<QByteArray>("read");
    const QByteArray a2045(2045, 'a');
    const QByteArray a2046(2046, 'a');
    const QByteArray a2047(2047, 'a');
    QTest::newRow("2047 bytes whole") << a2047 << a2047;
    QTest::newRow("2048 bytes cut") << a2047 + "b" << a2047;
    QTest::newRow("long value cut") << QByteArray(5000, 'x') << QByteArray(2047, 'x');
    QTest::newRow("character ending at the limit kept") << a2045 + kZhong << a2045 + kZhong;
    QTest::newRow("character across the limit dropped") << a2046 + kZhong << a2046;
    QTest::newRow("only double-byte characters") << kZhong.repeated(1024) << kZhong.repeated(1023);
    // The second byte of 0x81 0x41 looks like "A"; it still belongs to its character.
    QTest::newRow("second byte like a letter") << a2045 + "\x81\x41" "b" << a2045 + "\x81\x41";
    QTest::newRow("quotes dropped before the cut") << '"' + a2047 + '"' << a2047;
}

void TestSettings::profileValueLength()
{
    QFETCH(QByteArray, stored);
    QFETCH(QByteArray, read);
    QTemporaryDir dir;
    const QString path = dir.filePath("config.ini");
    QVERIFY(writeBytes(path, xt("k=" + stored + "\r\nnext=1\r\n")));
    const Profile profile = Profile::read(path);
    QCOMPARE(toGbk(profile.value(u"XT", u"k", kDefault)), read);
    QCOMPARE(profile.value(u"XT", u"next", kDefault), QStringLiteral("1"));
}

void TestSettings::profileKeys_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QStringList>("keys");
    QTest::newRow("file order") << xt("b=1\r\na=2\r\n10=x\r\n2=y\r\n")
                                << QStringList{"b", "a", "10", "2"};
    QTest::newRow("first spelling, once") << xt("Key=1\r\nkey=2\r\nKEY=3\r\n") << QStringList{"Key"};
    QTest::newRow("lines without equals sign left out") << xt("; note\r\na\r\nb=1\r\n\r\n")
                                                       << QStringList{"b"};
    QTest::newRow("first section only")
        << QByteArray("[XT]\r\na=1\r\n[B]\r\nb=1\r\n[xt]\r\nc=1\r\n") << QStringList{"a"};
    QTest::newRow("names trimmed") << xt("  7 \t= x\r\n") << QStringList{"7"};
    QTest::newRow("Chinese name") << xt(kYinYue + "=1\r\n") << QStringList{"音乐"};
    QTest::newRow("no section") << QByteArray("[B]\r\nb=1\r\n") << QStringList();
}

void TestSettings::profileKeys()
{
    QFETCH(QByteArray, file);
    QFETCH(QStringList, keys);
    QTemporaryDir dir;
    const QString path = dir.filePath("config.ini");
    QVERIFY(writeBytes(path, file));
    QCOMPARE(Profile::read(path).keys(u"XT"), keys);
}

void TestSettings::profileMissingFile()
{
    QTemporaryDir dir;
    const Profile profile = Profile::read(dir.filePath("config.ini"));
    QCOMPARE(profile.value(u"XT", u"xzpath", kDefault), kDefault);
    QVERIFY(profile.keys(u"XT").isEmpty());
    QVERIFY(!profile.readError());
    QVERIFY(!QFileInfo::exists(dir.filePath("config.ini"))); // reading creates nothing
}

void TestSettings::profileUnreadableFile()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("config.ini");
    QVERIFY(QDir(dir.path()).mkdir("config.ini"));
    const Profile profile = Profile::read(path);
    QCOMPARE(profile.value(u"XT", u"k", kDefault), kDefault);
    QCOMPARE(profile.readError(), std::optional<QString>(QStringLiteral("无法读取 ") + path));
}

// ---------------------------------------------------------------------------------------
// Writing profile files

void TestSettings::writeProfile_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QByteArray>("after");

    // Comments, other sections, odd spacing, every kind of line end, damaged bytes and Chinese
    // text all around the one line that changes.
    const QByteArray head = "; note " + kCheckMark + "\r\n\xFF\x81junk\n[Other]\nxzpath=/other\n\n"
                            "[XT]\r\nbj=0\r\n";
    const QByteArray tail = "fxwy=1\rlxmc=01-" + kWangYeLianJie + ";\r\n\r\n \t\r\n";
    QTest::newRow("other lines kept byte for byte")
        << head + "  XZPath = /old \r\n" + tail << "XT" << "xzpath" << "/new"
        << head + "XZPath=/new\r\n" + tail;
    QTest::newRow("LF line replaced, neighbours keep LF")
        << QByteArray("[XT]\nk=1\nz=2\n") << "XT" << "k" << "9" << QByteArray("[XT]\nk=9\r\nz=2\n");
    QTest::newRow("last line without line end")
        << QByteArray("[XT]\r\nk=1") << "XT" << "k" << "9" << QByteArray("[XT]\r\nk=9\r\n");
    QTest::newRow("first of two entries replaced")
        << xt("k=1\r\nK=2\r\n") << "XT" << "k" << "9" << xt("k=9\r\nK=2\r\n");
    QTest::newRow("only the first section of the name")
        << QByteArray("[XT]\r\na=1\r\n[xt]\r\nk=1\r\n") << "XT" << "k" << "9"
        << QByteArray("[XT]\r\na=1\r\nk=9\r\n[xt]\r\nk=1\r\n");
    QTest::newRow("new key before the section's blank lines")
        << QByteArray("[XT]\r\na=1\r\n\r\n \t\r\n[B]\r\nb=1\r\n") << "XT" << "k" << "9"
        << QByteArray("[XT]\r\na=1\r\nk=9\r\n\r\n \t\r\n[B]\r\nb=1\r\n");
    QTest::newRow("new key at the end of the last section")
        << QByteArray("[A]\r\n[XT]\r\na=1\r\n") << "XT" << "k" << "9"
        << QByteArray("[A]\r\n[XT]\r\na=1\r\nk=9\r\n");
    QTest::newRow("new key after a last line without line end")
        << QByteArray("[XT]\r\na=1") << "XT" << "k" << "9" << QByteArray("[XT]\r\na=1\r\nk=9\r\n");
    QTest::newRow("new key in a section of its header alone")
        << QByteArray("[XT]\r\n[B]\r\n") << "XT" << "k" << "9" << QByteArray("[XT]\r\nk=9\r\n[B]\r\n");
    QTest::newRow("new key after a comment")
        << xt("a=1\r\n;note\r\n\r\n") << "XT" << "k" << "9" << xt("a=1\r\n;note\r\nk=9\r\n\r\n");
    QTest::newRow("line without equals sign is no entry")
        << xt("k\r\n") << "XT" << "k" << "9" << xt("k\r\nk=9\r\n");
    QTest::newRow("new section at the end")
        << QByteArray("[A]\r\na=1\r\n") << "XT" << "k" << "9" << QByteArray("[A]\r\na=1\r\n[XT]\r\nk=9\r\n");
    QTest::newRow("new section after a last line without line end")
        << QByteArray("[A]\r\na=1") << "XT" << "k" << "9" << QByteArray("[A]\r\na=1\r\n[XT]\r\nk=9\r\n");
    QTest::newRow("empty file") << QByteArray() << "XT" << "k" << "9" << QByteArray("[XT]\r\nk=9\r\n");
    QTest::newRow("section found in another case")
        << QByteArray("[xt]\r\n") << "XT" << "k" << "9" << QByteArray("[xt]\r\nk=9\r\n");
    QTest::newRow("key keeps its spelling in the file")
        << xt("MaxType=1\r\n") << "XT" << "maxtype" << "9" << xt("MaxType=9\r\n");
    QTest::newRow("Chinese value in GBK")
        << QByteArray() << "XT" << "lxmc" << "01-网页连接;"
        << xt("lxmc=01-" + kWangYeLianJie + ";\r\n");
    QTest::newRow("value as given") << xt("k=1\r\n") << "XT" << "k" << " a b " << xt("k= a b \r\n");
    QTest::newRow("empty value") << xt("k=1\r\n") << "XT" << "k" << "" << xt("k=\r\n");
    QTest::newRow("section name with ] as a second byte")
        << QByteArray("[\x81\x5D]\r\nk=1\r\n") << fromGbk("\x81\x5D") << "k" << "9"
        << QByteArray("[\x81\x5D]\r\nk=9\r\n");
}

void TestSettings::writeProfile()
{
    QFETCH(QByteArray, before);
    QFETCH(QString, section);
    QFETCH(QString, key);
    QFETCH(QString, value);
    QFETCH(QByteArray, after);
    QTemporaryDir dir;
    const QString path = dir.filePath("config.ini");
    QVERIFY(writeBytes(path, before));
    QCOMPARE(WriteProfileString(path, section, key, value), kNoError);
    QCOMPARE(readBytes(path), after);
}

void TestSettings::writeCreatesFile()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("config.ini");
    QCOMPARE(WriteProfileString(path, u"XT", u"xzpath", QStringLiteral("/srv/下载")), kNoError);
    QCOMPARE(readBytes(path), xt("xzpath=/srv/" + kXiaZai + "\r\n"));
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             QStringList{"config.ini"}); // nothing left beside it
}

void TestSettings::writeReadsBack_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("read");
    QTest::newRow("Chinese") << "01-网页连接;02-音乐;" << "01-网页连接;02-音乐;";
    QTest::newRow("inner blanks") << "a  b" << "a  b";
    QTest::newRow("equals sign") << "x=y" << "x=y";
    QTest::newRow("brackets") << "[XT]" << "[XT]";
    QTest::newRow("empty") << "" << "";
    // The file form drops what surrounds a value; the same happens to users' files.
    QTest::newRow("blanks around go") << "  /srv  " << "/srv";
    QTest::newRow("enclosing quotes go") << "'/srv'" << "/srv";
}

void TestSettings::writeReadsBack()
{
    QFETCH(QString, value);
    QFETCH(QString, read);
    QTemporaryDir dir;
    const QString path = dir.filePath("config.ini");
    QVERIFY(writeBytes(path, xt("a=1\r\n")));
    QCOMPARE(WriteProfileString(path, u"XT", u"k", value), kNoError);
    const Profile profile = Profile::read(path);
    QCOMPARE(profile.value(u"XT", u"k", kDefault), read);
    QCOMPARE(profile.value(u"XT", u"a", kDefault), QStringLiteral("1"));
}

void TestSettings::writeRefused_data()
{
    QTest::addColumn<QString>("relativePath");
    // Each makes the write fail whatever the rights of the user running the test.
    QTest::newRow("the file is a folder") << "config.ini";
    QTest::newRow("the folder is a regular file") << "plain/config.ini";
    QTest::newRow("the folder does not exist") << "missing/config.ini";
}

void TestSettings::writeRefused()
{
    QFETCH(QString, relativePath);
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir("config.ini"));
    QVERIFY(writeBytes(dir.filePath("plain"), "not a folder"));
    const QString path = dir.filePath(relativePath);
    QCOMPARE(WriteProfileString(path, u"XT", u"k", QStringLiteral("v")),
             std::optional<QString>(QStringLiteral("Unable to write to ") + path));
    QCOMPARE(readBytes(dir.filePath("plain")), QByteArray("not a folder"));
    QVERIFY(!QFileInfo::exists(dir.filePath("missing")));
}

void TestSettings::writeRefusesWhatCannotBeStored_data()
{
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::newRow("LF in the value") << "XT" << "k" << "a\nb=1";
    QTest::newRow("CR in the value") << "XT" << "k" << "a\r[B]";
    QTest::newRow("equals sign in the key") << "XT" << "a=b" << "v";
    QTest::newRow("key like a section") << "XT" << "[B]" << "v";
    QTest::newRow("blank key") << "XT" << " " << "v";
    QTest::newRow("empty section") << "" << "k" << "v";
    QTest::newRow("] in the section") << "X]T" << "k" << "v";
    QTest::newRow("line break in the section") << "X\nT" << "k" << "v";
    QTest::newRow("Korean folder name GBK has no code for") << "XT" << "xzpath" << u"/home/\uAE40/x"_qs;
    QTest::newRow("emoji in a name") << "XT" << "lxmc" << u"01-\U0001F600;"_qs;
    QTest::newRow("replacement character") << "XT" << "lxmc" << u"01-\uFFFD;"_qs;
}

void TestSettings::writeRefusesWhatCannotBeStored()
{
    QFETCH(QString, section);
    QFETCH(QString, key);
    QFETCH(QString, value);
    QTemporaryDir dir;
    const QString path = dir.filePath("config.ini");
    const QByteArray before = xt("k=1\r\n");
    QVERIFY(writeBytes(path, before));
    const std::optional<QString> error = WriteProfileString(path, section, key, value);
    QVERIFY(error);
    QVERIFY2(error->startsWith(QStringLiteral("Unable to write to ") + path + ": "), qPrintable(*error));
    QCOMPARE(readBytes(path), before);
}

void TestSettings::writeExistingFileInReadOnlyFolder()
{
    QTemporaryDir dir;
    const QString folder = dir.filePath("app");
    QVERIFY(QDir(dir.path()).mkdir("app"));
    const QString path = folder + "/config.ini";
    QVERIFY(writeBytes(path, xt("k=1\r\n")));
    QVERIFY(QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner));
    const std::optional<QString> error = WriteProfileString(path, u"XT", u"k", QStringLiteral("2"));
    QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QCOMPARE(error, kNoError);
    QCOMPARE(readBytes(path), xt("k=2\r\n"));
}

void TestSettings::writeNewFileInReadOnlyFolder()
{
    if (runningAsRoot())
        QSKIP("root writes into read-only folders; writeRefused covers refusal for everyone");
    QTemporaryDir dir;
    const QString folder = dir.filePath("app");
    QVERIFY(QDir(dir.path()).mkdir("app"));
    const QString path = folder + "/config.ini";
    QVERIFY(QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner));
    const std::optional<QString> error = WriteProfileString(path, u"XT", u"k", QStringLiteral("2"));
    QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QCOMPARE(error, std::optional<QString>(QStringLiteral("Unable to write to ") + path));
    QVERIFY(!QFileInfo::exists(path));
}

// ---------------------------------------------------------------------------------------
// config.ini

void TestSettings::readSettingsMissingFile()
{
    QTemporaryDir dir;
    std::optional<QString> readError = QStringLiteral("untouched");
    const SettingsValues values =
        ReadSettingsValues(dir.filePath("config.ini"), kDefaultSavePath, &readError);
    QCOMPARE(values.SavePath, kDefaultSavePath);
    QCOMPARE(values.DownloadMode, QStringLiteral("0"));
    QVERIFY(!values.handsOverDownloads());
    QCOMPARE(values.PromptRename, false);
    QCOMPARE(values.AnalysePages, QStringLiteral("0"));
    QCOMPARE(values.TypeExtensionList, QString());
    QCOMPARE(values.TypeNameList, QString());
    QCOMPARE(readError, kNoError);
}

void TestSettings::readSettings_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("savePath");
    QTest::addColumn<QString>("downloadMode");
    QTest::addColumn<bool>("handsOver");
    QTest::addColumn<bool>("promptRename");
    QTest::addColumn<QString>("analysePages");
    QTest::addColumn<QString>("typeNameList");

    QTest::newRow("section without keys")
        << xt("") << kDefaultSavePath << "0" << false << false << "0" << "";
    QTest::newRow("keys of another section")
        << QByteArray("[YY]\r\nxzpath=/x\r\nxzfs=1\r\ntsggwjm=1\r\n")
        << kDefaultSavePath << "0" << false << false << "0" << "";
    QTest::newRow("every key")
        << xt("bj=1\r\nrbufmax=abc\r\nxzpath=/srv/" + kXiaZai + "\r\nxzfs=1\r\nfxwy=1\r\nljxz=5\r\n"
              "tsggwjm=1\r\nmaxtype=2\r\nlxmc=01-" + kWangYeLianJie + ";02-" + kYinYue + ";\r\n")
        << "/srv/下载" << "1" << true << true << "1" << "01-网页连接;02-音乐;";
    QTest::newRow("nothing selected in the download mode")
        << xt("xzfs=-1\r\n") << kDefaultSavePath << "-1" << false << false << "0" << "";
    QTest::newRow("texts kept as read")
        << xt("xzpath=\"  /a b  \"\r\nxzfs=abc\r\nfxwy=01\r\nlxmc=' 01-a; '\r\n")
        << "  /a b  " << "abc" << true << false << "01" << " 01-a; ";
    QTest::newRow("empty save path is not the default")
        << xt("xzpath=\r\n") << "" << "0" << false << false << "0" << "";
    QTest::newRow("key names in another case")
        << xt("XZPATH=/x\r\nXzFs=1\r\nTSGGWJM=1\r\nFXWY=1\r\nLXMC=01-a;\r\n")
        << "/x" << "1" << true << true << "1" << "01-a;";
}

void TestSettings::readSettings()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, savePath);
    QFETCH(QString, downloadMode);
    QFETCH(bool, handsOver);
    QFETCH(bool, promptRename);
    QFETCH(QString, analysePages);
    QFETCH(QString, typeNameList);
    QTemporaryDir dir;
    const QString path = dir.filePath("config.ini");
    QVERIFY(writeBytes(path, file));
    const SettingsValues values = ReadSettingsValues(path, kDefaultSavePath);
    QCOMPARE(values.SavePath, savePath);
    QCOMPARE(values.DownloadMode, downloadMode);
    QCOMPARE(values.handsOverDownloads(), handsOver);
    QCOMPARE(values.PromptRename, promptRename);
    QCOMPARE(values.AnalysePages, analysePages);
    QCOMPARE(values.TypeNameList, typeNameList);
}

void TestSettings::readSettingsPromptRename_data()
{
    QTest::addColumn<QByteArray>("stored");
    QTest::addColumn<bool>("promptRename");
    QTest::newRow("1") << QByteArray("1") << true;
    QTest::newRow("1 between blanks") << QByteArray(" 1 \t") << true;
    QTest::newRow("1 in quotes") << QByteArray("\"1\"") << true;
    QTest::newRow("1 after a control character") << QByteArray("\x01" "1") << true;
    QTest::newRow("0") << QByteArray("0") << false;
    QTest::newRow("01") << QByteArray("01") << false;
    QTest::newRow("2") << QByteArray("2") << false;
    QTest::newRow("1 1") << QByteArray("1 1") << false;
    QTest::newRow("yes") << QByteArray("yes") << false;
    QTest::newRow("empty") << QByteArray() << false;
}

void TestSettings::readSettingsPromptRename()
{
    QFETCH(QByteArray, stored);
    QFETCH(bool, promptRename);
    QTemporaryDir dir;
    const QString path = dir.filePath("config.ini");
    QVERIFY(writeBytes(path, xt("tsggwjm=" + stored + "\r\n")));
    QCOMPARE(ReadSettingsValues(path, kDefaultSavePath).PromptRename, promptRename);
    QVERIFY(!ReadSettingsValues(path, kDefaultSavePath).IgnoreQuery); // absent: the written rule
    // hlcs is read by the same rule: on only when its trimmed value is exactly "1".
    QVERIFY(writeBytes(path, xt("hlcs=" + stored + "\r\n")));
    QCOMPARE(ReadSettingsValues(path, kDefaultSavePath).IgnoreQuery, promptRename);
    QVERIFY(!ReadSettingsValues(path, kDefaultSavePath).FileByRequest); // absent: off
    QVERIFY(writeBytes(path, xt("qqfl=" + stored + "\r\n")));
    QCOMPARE(ReadSettingsValues(path, kDefaultSavePath).FileByRequest, promptRename);
}

void TestSettings::readSettingsTypeExtensionList_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("list");

    QTest::newRow("no maxtype means no types") << QByteArray("1=.mp3\r\n") << "";
    QTest::newRow("maxtype 0") << QByteArray("maxtype=0\r\n1=.mp3\r\n") << "";
    QTest::newRow("negative maxtype") << QByteArray("maxtype=-3\r\n1=.mp3\r\n") << "";
    QTest::newRow("maxtype abc reads keys 1 to 10")
        << QByteArray("maxtype=abc\r\n1=.a\r\n10=.j\r\n11=.k\r\n") << ".a-1;.j-10;";
    QTest::newRow("empty maxtype reads keys 1 to 10")
        << QByteArray("maxtype=\r\n1=.a\r\n10=.j\r\n11=.k\r\n") << ".a-1;.j-10;";
    QTest::newRow("maxtype 3.0 reads keys 1 to 10")
        << QByteArray("maxtype=3.0\r\n5=.e\r\n") << ".e-5;";
    QTest::newRow("maxtype between blanks") << QByteArray("maxtype= 2 \r\n2=.b\r\n3=.c\r\n") << ".b-2;";
    QTest::newRow("maxtype with plus sign") << QByteArray("maxtype=+2\r\n2=.b\r\n3=.c\r\n") << ".b-2;";
    QTest::newRow("maxtype 3 with only key 1") << QByteArray("maxtype=3\r\n1=.htm\r\n") << ".htm-1;";
    QTest::newRow("type 4 with blanks around")
        << QByteArray("maxtype=4\r\n4=  .mp3;.wma  \r\n") << ".mp3-4;.wma-4;";
    QTest::newRow("type 4 without final semicolon") << QByteArray("maxtype=4\r\n4=.mp3\r\n") << ".mp3-4;";
    QTest::newRow("type 4 lone semicolon") << QByteArray("maxtype=4\r\n4=;\r\n") << "-4;";
    QTest::newRow("capitals kept") << QByteArray("maxtype=4\r\n4=.MP3\r\n") << ".MP3-4;";
    QTest::newRow("every semicolon numbered") << QByteArray("maxtype=1\r\n1=.a;;.b\r\n") << ".a-1;-1;.b-1;";
    QTest::newRow("blank key skipped")
        << QByteArray("maxtype=3\r\n1=.a\r\n2= \t \r\n3=.c\r\n") << ".a-1;.c-3;";
    QTest::newRow("quoted value") << QByteArray("maxtype=1\r\n1=\".mp3\"\r\n") << ".mp3-1;";
    QTest::newRow("number order, not file order")
        << QByteArray("maxtype=10\r\n10=.j\r\n9=.i\r\n2=.b\r\n") << ".b-2;.i-9;.j-10;";
    QTest::newRow("first of two entries")
        << QByteArray("maxtype=2\r\n2=.a\r\n2=.b\r\n") << ".a-2;";
    QTest::newRow("leading zero is another key") << QByteArray("maxtype=2\r\n02=.b\r\n") << "";
    QTest::newRow("key 0 and negative keys unread")
        << QByteArray("maxtype=5\r\n0=.z\r\n-1=.m\r\n+2=.p\r\n") << "";
    QTest::newRow("key name between blanks") << QByteArray("maxtype=3\r\n 3 \t=.c\r\n") << ".c-3;";
    QTest::newRow("Chinese extension") << "maxtype=1\r\n1=." + kYinYue + "\r\n" << ".音乐-1;";
    QTest::newRow("huge maxtype reads only the keys there are")
        << QByteArray("maxtype=2000000000\r\n1999999999=.y\r\n2000000001=.z\r\n"
                      "99999999999=.w\r\n1=.a\r\n")
        << ".a-1;.y-1999999999;";
    QTest::newRow("key of a later XT section unread")
        << QByteArray("maxtype=2\r\n1=.a\r\n[XT]\r\n2=.b\r\n") << ".a-1;";
}

void TestSettings::readSettingsTypeExtensionList()
{
    QFETCH(QByteArray, body);
    QFETCH(QString, list);
    QTemporaryDir dir;
    const QString path = dir.filePath("config.ini");
    QVERIFY(writeBytes(path, xt(body)));
    QCOMPARE(ReadSettingsValues(path, kDefaultSavePath).TypeExtensionList, list);
}

void TestSettings::readSettingsUnreadableFile()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("config.ini");
    QVERIFY(QDir(dir.path()).mkdir("config.ini"));
    std::optional<QString> readError;
    const SettingsValues values = ReadSettingsValues(path, kDefaultSavePath, &readError);
    QCOMPARE(readError, std::optional<QString>(QStringLiteral("无法读取 ") + path));
    QCOMPARE(values.SavePath, kDefaultSavePath);
    QCOMPARE(values.TypeNameList, QString());
}

void TestSettings::validateTypeGrid_data()
{
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QStringList>("extensions");
    QTest::addColumn<QString>("problems");

    QTest::newRow("no rows") << QStringList() << QStringList() << "";
    QTest::newRow("names in every row") << QStringList{"网页连接", "音乐"} << QStringList{".htm", ".mp3"}
                                        << "";
    QTest::newRow("rows 2 and 4 without names")
        << QStringList{"a", "", "c", " \t"} << QStringList{".a", ".b", ".c", ".d"}
        << u"\r第2行存在为空数据！\r第4行存在为空数据！"_qs;
    QTest::newRow("row 1 may have no name") << QStringList{"", "b"} << QStringList{".a", ".b"} << "";
    QTest::newRow("extension cells may be empty") << QStringList{"a", "b"} << QStringList{"", " "} << "";
    QTest::newRow("row without either cell is one line")
        << QStringList{"a", ""} << QStringList{"", ""} << u"\r第2行存在为空数据！"_qs;
    QTest::newRow("control characters are blank")
        << QStringList{"a", QString::fromLatin1("\x01\x1f")} << QStringList() << u"\r第2行存在为空数据！"_qs;
    QTest::newRow("ideographic space is a name")
        << QStringList{"a", u"\u3000"_qs} << QStringList() << "";
    QTest::newRow("row 10")
        << QStringList{"1", "2", "3", "4", "5", "6", "7", "8", "9", ""} << QStringList()
        << u"\r第10行存在为空数据！"_qs;
}

void TestSettings::validateTypeGrid()
{
    QFETCH(QStringList, names);
    QFETCH(QStringList, extensions);
    QFETCH(QString, problems);
    QCOMPARE(ValidateTypeGrid(typeRows(names, extensions)), problems);
}

void TestSettings::invalidGridMessage_data()
{
    QTest::addColumn<QString>("problems");
    QTest::addColumn<QString>("message");
    QTest::newRow("rows 2 and 4") << u"\r第2行存在为空数据！\r第4行存在为空数据！"_qs
                                  << u"数据无法保存:\r\r  第2行存在为空数据！\r第4行存在为空数据！"_qs;
    QTest::newRow("already trimmed") << u"第3行存在为空数据！"_qs << u"数据无法保存:\r\r  第3行存在为空数据！"_qs;
    QTest::newRow("blanks after") << u"\r第3行存在为空数据！ \r"_qs << u"数据无法保存:\r\r  第3行存在为空数据！"_qs;
}

void TestSettings::invalidGridMessage()
{
    QFETCH(QString, problems);
    QFETCH(QString, message);
    QCOMPARE(InvalidGridMessage(problems), message);
}

void TestSettings::writeSettingsFormNewFile()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("config.ini");
    SettingsForm form;
    form.savePath = QStringLiteral(" /srv/下载 ");
    form.downloadModeIndex = 1;
    form.promptRename = true;
    form.types = typeRows({"网页连接", "", "音乐"}, {".htm;.html", "", " .mp3;.wma "});
    QCOMPARE(WriteSettingsForm(path, form), kNoError);
    QCOMPARE(readBytes(path),
             xt("xzpath= /srv/" + kXiaZai + " \r\n"
                "xzfs=1\r\n"
                "tsggwjm=1\r\n"
                "maxtype=3\r\n"
                "1=.htm;.html\r\n"
                "2=\r\n"
                "3= .mp3;.wma \r\n"
                "lxmc=01-" + kWangYeLianJie + ";02-;03-" + kYinYue + ";\r\n"));
}

void TestSettings::writeSettingsFormExistingFile()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("config.ini");
    // A file from a longer table, with the keys only a hand edit puts there.
    QVERIFY(writeBytes(path, QByteArray("; Quorrel\r\n[XT]\r\nbj=0\r\nrbufmax=4096\r\n"
                                        "xzpath=c:\\\r\nxzfs=0\r\nfxwy=1\r\ntsggwjm=1\r\n"
                                        "maxtype=3\r\n1=.htm\r\n2=.mp3\r\n3=.avi\r\n"
                                        "lxmc=01-a;02-b;03-c;\r\n\r\n")));
    SettingsForm form;
    form.savePath = QStringLiteral("/srv");
    form.downloadModeIndex = -1;
    form.promptRename = false;
    form.types = typeRows({"网页连接", "音乐"}, {".html", ".wma"});
    QCOMPARE(WriteSettingsForm(path, form), kNoError);
    QCOMPARE(readBytes(path), "; Quorrel\r\n[XT]\r\nbj=0\r\nrbufmax=4096\r\n"
                              "xzpath=/srv\r\nxzfs=-1\r\nfxwy=1\r\ntsggwjm=0\r\n"
                              "maxtype=2\r\n1=.html\r\n2=.wma\r\n3=.avi\r\n"
                              "lxmc=01-" + kWangYeLianJie + ";02-" + kYinYue + ";\r\n\r\n");
}

void TestSettings::writeSettingsFormWithoutRows()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("config.ini");
    QVERIFY(writeBytes(path, xt("maxtype=2\r\n1=.htm\r\n2=.mp3\r\nlxmc=01-a;02-b;\r\n")));
    SettingsForm form;
    form.savePath = QStringLiteral("/srv");
    QCOMPARE(WriteSettingsForm(path, form), kNoError);
    QCOMPARE(readBytes(path), xt("maxtype=0\r\n1=.htm\r\n2=.mp3\r\nlxmc=\r\n"
                                 "xzpath=/srv\r\nxzfs=0\r\ntsggwjm=0\r\n"));
    const SettingsValues values = ReadSettingsValues(path, kDefaultSavePath);
    QCOMPARE(values.TypeExtensionList, QString());
    QCOMPARE(values.TypeNameList, QString());
}

void TestSettings::writeSettingsFormHundredTypes()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("config.ini");
    SettingsForm form;
    for (int n = 1; n <= 100; ++n)
        form.types.append({QStringLiteral("t%1").arg(n), QStringLiteral(".e%1").arg(n)});
    QCOMPARE(WriteSettingsForm(path, form), kNoError);

    const SettingsValues values = ReadSettingsValues(path, kDefaultSavePath);
    QVERIFY2(values.TypeNameList.startsWith(QStringLiteral("01-t1;02-t2;")), qPrintable(values.TypeNameList));
    QVERIFY2(values.TypeNameList.contains(QStringLiteral(";09-t9;10-t10;11-t11;")),
             qPrintable(values.TypeNameList));
    QVERIFY2(values.TypeNameList.endsWith(QStringLiteral(";99-t99;100-t100;")), qPrintable(values.TypeNameList));
    QVERIFY(values.TypeExtensionList.startsWith(QStringLiteral(".e1-1;.e2-2;")));
    QVERIFY(values.TypeExtensionList.endsWith(QStringLiteral(".e99-99;.e100-100;")));
    QCOMPARE(Profile::read(path).value(u"XT", u"maxtype", kDefault), QStringLiteral("100"));
}

void TestSettings::writeSettingsFormRefused()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("config.ini");
    QVERIFY(QDir(dir.path()).mkdir("config.ini"));
    SettingsForm form;
    form.types = typeRows({"a"}, {".a"});
    QCOMPARE(WriteSettingsForm(path, form),
             std::optional<QString>(QStringLiteral("Unable to write to ") + path));
}

void TestSettings::writeSettingsFormRefusedWritesNothing_data()
{
    QTest::addColumn<QString>("savePath");
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QStringList>("extensions");
    QTest::addColumn<QString>("reason");
    QTest::newRow("line break in an extension cell")
        << "/new" << QStringList{"a", "b", "c"} << QStringList{".a", ".b\n.x", ".c"} << u"不能有换行（2）"_qs;
    QTest::newRow("type name GBK has no code for")
        << "/new" << QStringList{"a", u"\uAE40\uCE58"_qs, "c"} << QStringList{".a", ".b", ".c"} << u"GBK 无法保存的字符（lxmc）"_qs;
    QTest::newRow("save folder GBK has no code for")
        << u"/home/\uAE40"_qs << QStringList{"a"} << QStringList{".a"} << u"GBK 无法保存的字符（xzpath）"_qs;
}

void TestSettings::writeSettingsFormRefusedWritesNothing()
{
    // Nothing is written when any value is refused: a name list of the old table beside
    // the numbered keys of the new one would pair names and extensions wrongly.
    QFETCH(QString, savePath);
    QFETCH(QStringList, names);
    QFETCH(QStringList, extensions);
    QFETCH(QString, reason);
    QTemporaryDir dir;
    const QString path = dir.filePath("config.ini");
    const QByteArray before = xt("xzpath=/old\r\nmaxtype=1\r\n1=.old\r\nlxmc=01-old;\r\n");
    QVERIFY(writeBytes(path, before));
    SettingsForm form;
    form.savePath = savePath;
    form.types = typeRows(names, extensions);
    const std::optional<QString> error = WriteSettingsForm(path, form);
    QVERIFY(error);
    QCOMPARE(readBytes(path), before);
    QVERIFY2(error->startsWith(QStringLiteral("Unable to write to ") + path + ": "), qPrintable(*error));
    QVERIFY2(error->endsWith(reason), qPrintable(*error));
}

void TestSettings::saveThenLoad()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("config.ini");
    SettingsForm form;
    form.savePath = QStringLiteral("/srv/下载");
    form.downloadModeIndex = 0;
    form.promptRename = true;
    form.types = typeRows({"网页连接", "音乐", "图片"}, {".htm;.html", " .MP3;.wma ", ""});
    QCOMPARE(WriteSettingsForm(path, form), kNoError);

    const SettingsValues values = ReadSettingsValues(path, kDefaultSavePath);
    QCOMPARE(values.SavePath, QStringLiteral("/srv/下载"));
    QCOMPARE(values.DownloadMode, QStringLiteral("0"));
    QCOMPARE(values.PromptRename, true);
    QCOMPARE(values.TypeExtensionList, QStringLiteral(".htm-1;.html-1;.MP3-2;.wma-2;"));
    QCOMPARE(values.TypeNameList, QStringLiteral("01-网页连接;02-音乐;03-图片;"));

    const TypeGridReading grid = ReadTypeGrid(path, values.TypeNameList);
    QCOMPARE(grid.error, kNoError);
    QCOMPARE(grid.rows.size(), 3);
    const QList<TypeRow> expected = typeRows({"网页连接", "音乐", "图片"}, {".htm;.html;", ".MP3;.wma;", ""});
    for (qsizetype i = 0; i < expected.size(); ++i) {
        QCOMPARE(grid.rows[i].name, expected[i].name);
        QCOMPARE(grid.rows[i].extensions, expected[i].extensions);
    }
}

void TestSettings::readTypeGrid_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("typeNameList");
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QStringList>("extensions");
    QTest::addColumn<QString>("error");

    const QByteArray keys = "1=.htm;.html\r\n2= .mp3 \r\n3=\r\n4= \t \r\n7=.avi;\r\n";
    QTest::newRow("empty list") << keys << "" << QStringList() << QStringList() << "";
    QTest::newRow("blank list") << keys << " \r\n" << QStringList() << QStringList() << "";
    QTest::newRow("two types") << keys << "01-网页连接;02-音乐;" << QStringList{"网页连接", "音乐"}
                               << QStringList{".htm;.html;", ".mp3;"} << "";
    QTest::newRow("list trimmed") << keys << "  01-a;  " << QStringList{"a"} << QStringList{".htm;.html;"} << "";
    QTest::newRow("empty and blank stored lists shown empty")
        << keys << "03-c;04-d;" << QStringList{"c", "d"} << QStringList{"", ""} << "";
    QTest::newRow("key missing from the file") << keys << "09-x;" << QStringList{"x"} << QStringList{""} << "";
    QTest::newRow("final semicolon not doubled") << keys << "07-v;" << QStringList{"v"} << QStringList{".avi;"} << "";
    QTest::newRow("number without leading zero") << keys << "7-v;" << QStringList{"v"} << QStringList{".avi;"} << "";
    QTest::newRow("number with plus sign") << keys << "+2-m;" << QStringList{"m"} << QStringList{".mp3;"} << "";
    QTest::newRow("the number, not the position, picks the key")
        << keys << "02-m;01-h;" << QStringList{"m", "h"} << QStringList{".mp3;", ".htm;.html;"} << "";
    QTest::newRow("name keeps later dashes and blanks")
        << keys << "01- a-b ;" << QStringList{" a-b "} << QStringList{".htm;.html;"} << "";
    QTest::newRow("empty name") << keys << "01-;" << QStringList{""} << QStringList{".htm;.html;"} << "";
    QTest::newRow("entry not closed by a semicolon")
        << keys << "01-a;02-b" << QStringList{"a", "b"} << QStringList{".htm;.html;", ".mp3;"} << "";
    QTest::newRow("entry without dash stops the reading")
        << keys << "01-a;xyz;02-b;" << QStringList{"a"} << QStringList{".htm;.html;"}
        << "'' is not a valid integer value";
    QTest::newRow("two successive semicolons")
        << keys << "01-a;;02-b;" << QStringList{"a"} << QStringList{".htm;.html;"}
        << "'' is not a valid integer value";
    QTest::newRow("name that held a semicolon")
        << keys << "01-a;b-c;02-d;" << QStringList{"a"} << QStringList{".htm;.html;"}
        << "'b' is not a valid integer value";
    QTest::newRow("first entry bad") << keys << "x-a;01-b;" << QStringList() << QStringList()
                                     << "'x' is not a valid integer value";
    QTest::newRow("number with a blank before it")
        << keys << "01-a; 02-b;" << QStringList{"a"} << QStringList{".htm;.html;"}
        << "' 02' is not a valid integer value";
    QTest::newRow("number too large")
        << keys << "99999999999-a;" << QStringList() << QStringList()
        << "'99999999999' is not a valid integer value";
    QTest::newRow("Chinese number text") << keys << "一-a;" << QStringList() << QStringList()
                                         << "'一' is not a valid integer value";
}

void TestSettings::readTypeGrid()
{
    QFETCH(QByteArray, body);
    QFETCH(QString, typeNameList);
    QFETCH(QStringList, names);
    QFETCH(QStringList, extensions);
    QFETCH(QString, error);
    QTemporaryDir dir;
    const QString path = dir.filePath("config.ini");
    QVERIFY(writeBytes(path, xt(body)));
    const TypeGridReading reading = ReadTypeGrid(path, typeNameList);
    QStringList readNames;
    QStringList readExtensions;
    for (const TypeRow &row : reading.rows) {
        readNames << row.name;
        readExtensions << row.extensions;
    }
    QCOMPARE(readNames, names);
    QCOMPARE(readExtensions, extensions);
    QCOMPARE(reading.error, error.isEmpty() ? kNoError : std::optional<QString>(error));
}

void TestSettings::readTypeGridUnreadableFile()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("config.ini");
    QVERIFY(QDir(dir.path()).mkdir("config.ini"));
    const TypeGridReading reading = ReadTypeGrid(path, QStringLiteral("01-a;02-b;"));
    QVERIFY(reading.rows.isEmpty());
    QCOMPARE(reading.error, std::optional<QString>(QStringLiteral("无法读取 ") + path));
}

// The user's folders of a test: XDG_CONFIG_HOME and XDG_DATA_HOME inside dir.
struct UserFolders {
    explicit UserFolders(const QTemporaryDir &dir)
    {
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir.filePath("home/config")));
        qputenv("XDG_DATA_HOME", QFile::encodeName(dir.filePath("home/data")));
    }
    ~UserFolders()
    {
        qunsetenv("XDG_CONFIG_HOME");
        qunsetenv("XDG_DATA_HOME");
    }
};

void TestSettings::filePlaces_data()
{
    QTest::addColumn<bool>("starterInstalled"); // prefix/share/quorrel/config.ini beside prefix/bin
    QTest::addColumn<bool>("binWritable");
    QTest::addColumn<bool>("beside");
    QTest::newRow("a build folder") << false << true << true;
    QTest::newRow("installed into a prefix of the user's") << true << true << false;
    QTest::newRow("installed for the system") << true << false << false;
    QTest::newRow("a folder of the system's without the starter") << false << false << false;
}

void TestSettings::filePlaces()
{
    QFETCH(bool, starterInstalled);
    QFETCH(bool, binWritable);
    QFETCH(bool, beside);
    if (!binWritable && runningAsRoot())
        QSKIP("root may write into any folder");
    QTemporaryDir dir;
    const UserFolders user(dir);
    const QString bin = dir.filePath("prefix/bin");
    QVERIFY(QDir().mkpath(bin));
    const QString starter = dir.filePath("prefix/share/quorrel/config.ini");
    if (starterInstalled) {
        QVERIFY(QDir().mkpath(dir.filePath("prefix/share/quorrel")));
        QVERIFY(writeBytes(starter, xt("maxtype=0\r\n")));
    }
    if (!binWritable)
        QVERIFY(QFile::setPermissions(bin, QFile::ReadOwner | QFile::ExeOwner | QFile::ReadGroup | QFile::ExeGroup));

    const FilePlaces places = ProgramFilePlaces(bin);
    QFile::setPermissions(bin, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    if (beside) {
        QCOMPARE(places.configPath, bin + "/config.ini");
        QCOMPARE(places.resourceListPath, bin + "/zywj.txt");
        QCOMPARE(places.starterConfigPath, QString());
    } else {
        QCOMPARE(places.configPath, dir.filePath("home/config/quorrel/config.ini"));
        QCOMPARE(places.resourceListPath, dir.filePath("home/data/quorrel/zywj.txt"));
        QCOMPARE(places.starterConfigPath, starterInstalled ? starter : QString());
    }
    // Either way, a tool's --dir puts both files in one folder.
    const FilePlaces inDir = FilePlacesIn(dir.filePath("mine"));
    QCOMPARE(inDir.configPath, dir.filePath("mine/config.ini"));
    QCOMPARE(inDir.resourceListPath, dir.filePath("mine/zywj.txt"));
    QCOMPARE(inDir.starterConfigPath, QString());
}

void TestSettings::prepareCopiesTheStarterOnce()
{
    QTemporaryDir dir;
    const QByteArray starterBytes = xt("fxwy=0\r\nmaxtype=1\r\n1=.mp3\r\nlxmc=01-" + kWangYeLianJie + ";\r\n");
    const QString starter = dir.filePath("starter.ini");
    QVERIFY(writeBytes(starter, starterBytes));
    QVERIFY(QFile::setPermissions(starter, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther)); // as installed
    const FilePlaces places{dir.filePath("c/quorrel/config.ini"), dir.filePath("d/quorrel/zywj.txt"), starter};

    QCOMPARE(PrepareFilePlaces(places), kNoError);
    QVERIFY(QFileInfo(dir.filePath("d/quorrel")).isDir()); // the list has a folder to go to
    QCOMPARE(readBytes(places.configPath), starterBytes);  // byte for byte: GBK, CR LF
    QVERIFY(QFileInfo(places.configPath).isWritable());    // the user's own, to be saved by the panel
    QCOMPARE(WriteProfileString(places.configPath, u"XT", u"xzpath", QStringLiteral("/mine")), kNoError);

    // The next start finds the user's file and leaves it alone.
    const QByteArray edited = readBytes(places.configPath);
    QVERIFY(edited.contains("xzpath=/mine"));
    QCOMPARE(PrepareFilePlaces(places), kNoError);
    QCOMPARE(readBytes(places.configPath), edited);
}

void TestSettings::prepareFailures_data()
{
    QTest::addColumn<QString>("blocked"); // a file where a folder must go
    QTest::addColumn<bool>("starterMissing");
    QTest::addColumn<QString>("message");
    QTest::newRow("the configuration folder") << "c" << false << u"无法创建文件夹"_qs;
    QTest::newRow("the data folder") << "d" << false << u"无法创建文件夹"_qs;
    QTest::newRow("the starter has gone") << "" << true << u"无法把初始配置文件"_qs;
}

void TestSettings::prepareFailures()
{
    QFETCH(QString, blocked);
    QFETCH(bool, starterMissing);
    QFETCH(QString, message);
    QTemporaryDir dir;
    const QString starter = dir.filePath("starter.ini");
    if (!starterMissing)
        QVERIFY(writeBytes(starter, xt("")));
    if (!blocked.isEmpty())
        QVERIFY(writeBytes(dir.filePath(blocked), "a file"));
    const FilePlaces places{dir.filePath("c/quorrel/config.ini"), dir.filePath("d/quorrel/zywj.txt"), starter};
    const std::optional<QString> error = PrepareFilePlaces(places);
    QVERIFY(error);
    QVERIFY2(error->startsWith(message), qPrintable(*error));
    QVERIFY(!QFile::exists(places.configPath));
}

QTEST_APPLESS_MAIN(TestSettings)
#include "test_settings.moc"
