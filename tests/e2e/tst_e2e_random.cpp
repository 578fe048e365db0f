// Random calls over the bus: a permitted caller sends thousands of calls of
// every method but quilt, with random arguments - empty, huge, odd Unicode,
// path-like, numbers. Every call must get an answer (never a D-Bus error),
// the daemon must keep serving, and every file it manages must stay valid and
// hold what the answers say: the whitelists as a model of the accepted edits
// predicts them, the bridge address last accepted, each property file with
// the identity last accepted for it and its other lines, the autostart entry
// absent or exact.
//
// The randomness is seeded; the seed is printed, and VEXA_RANDOM_SEED repeats
// a run. VEXA_RANDOM_CALLS sets the number of calls (default 7000).

#include "sandboxtest.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSet>
#include <QTest>

#include <sys/stat.h>
#include <sys/types.h>

using namespace SandboxTest;

namespace {

// A user's log folder inside the sandbox's /home overlay.
const QString collectDir = QStringLiteral("/home/vexa-random/VexaLog/run");

const int chunkSize = 500;

// The lines of the seeded property file that are no identity line, in order.
const QList<QByteArray> phoneOtherLines = {"# seeded", "ro.build.id=R1", "", "ro.custom.brandx=keep",
                                           "persist.sys.locale=zh-CN"};

const QStringList methods = {QStringLiteral("addGameToWhiteList"),
                             QStringLiteral("removeGameFromWhiteList"),
                             QStringLiteral("removeAppFromWarningList"),
                             QStringLiteral("setDockerDefaultIpAddress"),
                             QStringLiteral("setVexaAutoStart"),
                             QStringLiteral("setPhoneInfo"),
                             QStringLiteral("copyLogFiles")};

// One call of the batch.
struct Call
{
    QString method;
    QStringList args;
};

// What the daemon receives for a string the caller was given: D-Bus carries
// UTF-8 up to the first NUL, so a lone surrogate arrives as '?', a NUL ends
// the string, and a U+FEFF that starts it is dropped by the decoding.
QString asReceived(const QString &sent)
{
    // From a C string, which ends at the NUL (the QByteArray form reads past
    // it in Qt 6).
    return QString::fromUtf8(sent.toUtf8().constData());
}

// A batch line the caller reads back exactly: Qt's JSON parser would drop a
// raw U+FEFF that starts a string, the escaped form it keeps.
QByteArray exactBatchLine(const Call &call)
{
    return batchLine(call.method, call.args).replace("\xef\xbb\xbf", "\\ufeff");
}

bool isSingleLine(const QString &value)
{
    return !value.contains(QLatin1Char('\n')) && !value.contains(QLatin1Char('\r'));
}

// A strict reading of "IPv4 address / prefix length", to catch the daemon
// accepting anything else. It allows leading zeros, which the daemon refuses.
bool looksLikeBridgeAddress(const QString &value)
{
    static const QRegularExpression pattern(
        QStringLiteral("\\A([0-9]{1,3})\\.([0-9]{1,3})\\.([0-9]{1,3})\\.([0-9]{1,3})/([0-9]{1,2})\\z"));
    const QRegularExpressionMatch match = pattern.match(value);
    if (!match.hasMatch())
        return false;
    for (int i = 1; i <= 4; ++i) {
        if (match.captured(i).toInt() > 255)
            return false;
    }
    return match.captured(5).toInt() <= 32;
}

int indexOfGame(const QJsonArray &games, const QString &pkgName)
{
    for (int i = 0; i < games.size(); ++i) {
        if (games.at(i).toObject().value(QStringLiteral("pkgname")).toString() == pkgName)
            return i;
    }
    return -1;
}

bool removeFirstWarning(QJsonArray *list, const QString &pkgName)
{
    for (int i = 0; i < list->size(); ++i) {
        if (list->at(i).toObject().value(QStringLiteral("pkgName")).toString() == pkgName) {
            list->removeAt(i);
            return true;
        }
    }
    return false;
}

QJsonObject readObject(const QString &path, QString *problem)
{
    QJsonParseError error;
    const QByteArray bytes = readFile(path, absent);
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        *problem = QStringLiteral("%1 is no JSON object (%2, %3 bytes)")
                       .arg(path, error.errorString())
                       .arg(bytes.size());
        return QJsonObject();
    }
    return document.object();
}

// Where two objects part, for the failure message: the first member whose
// values differ, and in arrays the first differing element.
QString firstDifference(const QJsonObject &actual, const QJsonObject &expected)
{
    const QString keys = QStringLiteral("members %1, expected %2")
                             .arg(actual.keys().join(QLatin1Char(',')),
                                  expected.keys().join(QLatin1Char(',')));
    for (const QString &key : expected.keys()) {
        if (actual.value(key) == expected.value(key))
            continue;
        const QJsonArray a = actual.value(key).toArray();
        const QJsonArray e = expected.value(key).toArray();
        for (int i = 0; i < qMax(a.size(), e.size()); ++i) {
            if (a.at(i) == e.at(i))
                continue;
            // The two elements as JSON text, from a little before where they part.
            const QString actualText = QString::fromUtf8(
                QJsonDocument(QJsonArray {a.at(i)}).toJson(QJsonDocument::Compact));
            const QString expectedText = QString::fromUtf8(
                QJsonDocument(QJsonArray {e.at(i)}).toJson(QJsonDocument::Compact));
            int at = 0;
            while (at < actualText.size() && at < expectedText.size()
                   && actualText.at(at) == expectedText.at(at))
                ++at;
            const int from = qMax(0, at - 40);
            return QStringLiteral("\"%1\" [%2] of %3, from character %4: %5\nexpected [%2] of %6: %7")
                .arg(key)
                .arg(i)
                .arg(a.size())
                .arg(from)
                .arg(actualText.mid(from, 120))
                .arg(e.size())
                .arg(expectedText.mid(from, 120));
        }
        return QStringLiteral("\"%1\" differs").arg(key);
    }
    return keys;
}

QSet<QString> entriesOf(const QString &dir)
{
    const QStringList entries = QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System
                                                    | QDir::NoDotAndDotDot);
    return QSet<QString>(entries.begin(), entries.end());
}

// Random strings of every awkward kind.
class Generator
{
public:
    explicit Generator(quint32 seed)
        : m_random(seed)
    { }

    int below(int bound) { return int(m_random.bounded(bound)); }
    bool chance(int percent) { return below(100) < percent; }
    template<typename T> T pick(const QList<T> &list) { return list.at(below(list.size())); }

    // A package name from a small pool, so that adds, removals and the
    // warning list's entries meet.
    QString poolName() { return QStringLiteral("com.random.g%1").arg(below(40)); }

    // longest caps the huge strings' length.
    QString anyString(int longest = 1 << 20)
    {
        const int kind = below(100);
        if (kind < 10)
            return QString();
        if (kind < 30)
            return ascii(1 + below(24));
        if (kind < 42)
            return poolName();
        if (kind < 57)
            return oddUnicode(1 + below(12));
        if (kind < 67)
            return pathLike();
        if (kind < 80)
            return number();
        if (kind < 92)
            return special();
        return huge(longest);
    }

    QString ascii(int length)
    {
        QString text;
        for (int i = 0; i < length; ++i)
            text += QChar(0x20 + below(0x5f));
        return text;
    }

    QString oddUnicode(int pieces)
    {
        static const QList<QString> parts = {
            QStringLiteral("e\u0301"),
            QStringLiteral("\u202e"),
            QStringLiteral("\u200d"),
            QStringLiteral("\ufeff"),
            QStringLiteral("\u2028"),
            QStringLiteral("\ufffd"),
            QString(QChar(0xffff)),
            QString(QChar(0xfffe)),
            QStringLiteral("\U0001F600"),
            QStringLiteral("\u6e38\u620f"),
            QStringLiteral("\u0639\u0631\u0628\u064a"),
            QString(QChar(0xd800)),
            QString(QChar(0xdc00)),
            QString(QChar(0)),
            QStringLiteral("\r\n"),
            QStringLiteral("\n"),
            QStringLiteral("\r"),
            QStringLiteral("\t"),
            QString(QChar(0x1b)),
            QString(QChar(0x7f)),
            QString(QChar(0x85)),
            QStringLiteral("\U0010FFFF"),
            QStringLiteral("\u00a0"),
        };
        QString text;
        for (int i = 0; i < pieces; ++i)
            text += chance(30) ? ascii(1 + below(4)) : pick(parts);
        return text;
    }

    QString pathLike()
    {
        static const QList<QString> parts = {
            QStringLiteral(".."),  QStringLiteral("."),    QStringLiteral("~"),     QStringLiteral("VexaLog"),
            QStringLiteral("tmp"), QStringLiteral("proc"), QStringLiteral("self"),  QStringLiteral("fd"),
            QStringLiteral("dev"), QStringLiteral("null"), QStringLiteral(""),      QStringLiteral("*"),
            QStringLiteral("a b"), QStringLiteral("-rf"),  QStringLiteral("$HOME"), QStringLiteral("%s%n"),
        };
        QString text = chance(70) ? QStringLiteral("/") : QString();
        const int count = 1 + below(6);
        for (int i = 0; i < count; ++i)
            text += (i ? QStringLiteral("/") : QString()) + (chance(25) ? ascii(1 + below(8)) : pick(parts));
        return text;
    }

    QString number()
    {
        static const QList<QString> odd = {
            QStringLiteral("0"),
            QStringLiteral("-0"),
            QStringLiteral("-1"),
            QStringLiteral("+7"),
            QStringLiteral(" 42"),
            QStringLiteral("1e309"),
            QStringLiteral("0x1F"),
            QStringLiteral("NaN"),
            QStringLiteral("inf"),
            QStringLiteral("\u0663"),
            QStringLiteral("\uff11"),
            QStringLiteral("4294967296"),
            QStringLiteral("99999999999999999999999"),
        };
        switch (below(4)) {
        case 0:
            return pick(odd);
        case 1:
            return QString::number(qint64(m_random.generate64()));
        case 2:
            return addressLike();
        default:
            return QString::number(below(100000));
        }
    }

    // Dotted quads with a prefix, now and then out of range or misshapen.
    QString addressLike()
    {
        QStringList octets;
        const int count = chance(90) ? 4 : below(7);
        for (int i = 0; i < count; ++i)
            octets << (chance(5) ? QStringLiteral("0") + QString::number(below(10))
                                 : QString::number(below(300)));
        QString text = octets.join(QLatin1Char('.'));
        if (chance(92))
            text += QLatin1Char('/') + QString::number(below(40));
        return text;
    }

    QString validAddress()
    {
        return QStringLiteral("%1.%2.%3.%4/%5")
            .arg(below(256))
            .arg(below(256))
            .arg(below(256))
            .arg(below(256))
            .arg(below(33));
    }

    QString special()
    {
        static const QList<QString> specials = {
            QStringLiteral("\""),
            QStringLiteral("\\"),
            QStringLiteral("{}"),
            QStringLiteral("[]"),
            QStringLiteral("{\"games\":[]}"),
            QStringLiteral("]}"),
            QStringLiteral("%1"),
            QStringLiteral("%2%3%%"),
            QStringLiteral("\\u0000"),
            QStringLiteral("null"),
            QStringLiteral("true"),
            QStringLiteral("false"),
            QStringLiteral("TRUE"),
            QStringLiteral(" true"),
            QStringLiteral("'"),
            QStringLiteral("$(reboot)"),
            QStringLiteral("`id`"),
            QStringLiteral(";rm -rf /"),
            QStringLiteral("ro.serialno=evil"),
            QStringLiteral("x\nro.custom.imei=evil"),
            QStringLiteral("pkgname"),
            QStringLiteral("pkgName"),
        };
        return pick(specials);
    }

    // From 4 Ki to 1 Mi characters, the largest rarely.
    QString huge(int longest)
    {
        const int size = qMin(longest, chance(90) ? 4096 << below(5) : 1 << 20);
        const QString unit = chance(50) ? ascii(1 + below(16)) : oddUnicode(1 + below(4));
        QString text;
        text.reserve(size + unit.size());
        while (text.size() < size)
            text += unit;
        return text;
    }

private:
    QRandomGenerator m_random;
};

} // namespace

class TestE2eRandom : public QObject
{
    Q_OBJECT

    Daemon m_daemon;
    quint32 m_seed = 0;
    QString m_scratch;
    QString m_propsDir;

    // The model: what the files must hold after the answers seen so far.
    QJsonObject m_games;
    QJsonObject m_warning;
    QString m_bridgeAddress; // null while none was accepted
    bool m_autoStartPresent = false;
    QMap<QString, QStringList> m_phoneValues; // by clean absolute path
    QString m_seededProps;

    // Paths for setPhoneInfo whose answer is known in advance.
    QStringList m_goodPhonePaths;
    QStringList m_badPhonePaths;
    QSet<QString> dirEntriesBefore[3];

    QMap<QString, int> m_answered; // "method answer" -> count
    QStringList m_addedNames; // package names sent to addGameToWhiteList

    QString phoneKey(const QString &path) const
    {
        return QDir::cleanPath(QDir(m_scratch).absoluteFilePath(path));
    }

    Call randomCall(Generator &gen)
    {
        Call call;
        call.method = methods.at(gen.below(methods.size()));
        if (call.method == QLatin1String("addGameToWhiteList")) {
            // The whitelist keeps what it is given and every later edit
            // rewrites it whole: megabyte entries would make each call slow.
            call.args << gen.anyString(1 << 16) << (gen.chance(50) ? gen.poolName() : gen.anyString(1 << 16));
            m_addedNames << call.args.last();
        } else if (call.method == QLatin1String("removeGameFromWhiteList")) {
            // Names added before, odd and huge ones too, come off again.
            const int kind = gen.below(10);
            call.args << (kind < 4 ? gen.poolName()
                              : kind < 7 && !m_addedNames.isEmpty()
                              ? m_addedNames.takeAt(gen.below(m_addedNames.size()))
                              : gen.anyString());
        } else if (call.method == QLatin1String("removeAppFromWarningList")) {
            call.args << (gen.chance(60) ? gen.poolName() : gen.anyString());
        } else if (call.method == QLatin1String("setDockerDefaultIpAddress")) {
            const int kind = gen.below(10);
            call.args << (kind < 3 ? gen.validAddress() : kind < 5 ? gen.addressLike() : gen.anyString());
        } else if (call.method == QLatin1String("setVexaAutoStart")) {
            const int kind = gen.below(10);
            call.args << (kind < 3       ? QStringLiteral("true")
                              : kind < 6 ? QStringLiteral("false")
                                         : gen.anyString());
        } else if (call.method == QLatin1String("setPhoneInfo")) {
            // Paths in the props folder and the few known outside it: a
            // random path could name a file the other checks rely on.
            const int kind = gen.below(10);
            if (kind < 6)
                call.args << gen.pick(m_goodPhonePaths);
            else if (kind < 8)
                call.args << gen.pick(m_badPhonePaths);
            else
                call.args << m_propsDir + QLatin1Char('/')
                        + gen.anyString().remove(QLatin1Char('/')).left(300);
            for (int i = 0; i < 7; ++i)
                call.args << (gen.chance(80) ? gen.ascii(gen.below(20)) : gen.anyString());
        } else {
            if (gen.chance(8)) {
                // Root, the caller here, may collect for an account whose
                // name and id agree, and for no other.
                call.args << gen.pick(
                    QList<QString> {QStringLiteral("root"), QStringLiteral("vexa.user_1-x")})
                          << (gen.chance(50) ? QStringLiteral("0") : QString::number(gen.below(70000)))
                          << gen.pick(QList<QString> {collectDir, collectDir + QLatin1Char('/'),
                                                      collectDir + QStringLiteral("/../run"),
                                                      collectDir + QStringLiteral("/./")});
            } else {
                call.args << gen.anyString() << (gen.chance(50) ? gen.number() : gen.anyString())
                          << (gen.chance(50) ? gen.pathLike() : gen.anyString());
            }
        }
        return call;
    }

    // Checks one answer against the model and moves the model on. Returns an
    // empty string when the answer is right, else what is wrong.
    QString judge(const Call &sent, const QString &answer)
    {
        if (answer.startsWith(QLatin1String("error:")))
            return QStringLiteral("a D-Bus error");
        QStringList args;
        for (const QString &arg : sent.args)
            args << asReceived(arg);
        m_answered[sent.method + QLatin1Char(' ') + answer.left(8)] += 1;
        const QString &method = sent.method;

        // Over its limit an argument is refused before any work.
        const auto over = [&args](int index, int limit) { return args.at(index).size() > limit; };
        const QString refused = answer == QLatin1String("false") ? QString()
                                                                 : QStringLiteral("expected false");
        if (method == QLatin1String("addGameToWhiteList")) {
            if (over(0, 1024) || over(1, 255))
                return refused;
            QJsonArray list = m_games.value(QStringLiteral("games")).toArray();
            if (indexOfGame(list, args.at(1)) < 0) {
                list.append(QJsonObject {{QStringLiteral("appname"), args.at(0)},
                                         {QStringLiteral("pkgname"), args.at(1)}});
                m_games.insert(QStringLiteral("games"), list);
            }
            return answer == QLatin1String("true") ? QString() : QStringLiteral("expected true");
        }
        if (method == QLatin1String("removeGameFromWhiteList")) {
            if (over(0, 255))
                return refused;
            QJsonArray list = m_games.value(QStringLiteral("games")).toArray();
            const int index = indexOfGame(list, args.at(0));
            if (index >= 0) {
                list.removeAt(index);
                m_games.insert(QStringLiteral("games"), list);
            }
            return answer == QLatin1String("true") ? QString() : QStringLiteral("expected true");
        }
        if (method == QLatin1String("removeAppFromWarningList")) {
            bool removed = false;
            if (!args.at(0).isEmpty() && !over(0, 255)) {
                QJsonArray gamesList = m_warning.value(QStringLiteral("games")).toArray();
                QJsonArray payList = m_warning.value(QStringLiteral("pay")).toArray();
                const bool fromGames = removeFirstWarning(&gamesList, args.at(0));
                const bool fromPay = removeFirstWarning(&payList, args.at(0));
                removed = fromGames || fromPay;
                if (removed) {
                    m_warning.insert(QStringLiteral("games"), gamesList);
                    m_warning.insert(QStringLiteral("pay"), payList);
                }
            }
            return answer == QLatin1String(removed ? "true" : "false") ? QString()
                                                                       : QStringLiteral("wrong answer");
        }
        if (method == QLatin1String("setDockerDefaultIpAddress")) {
            if (answer == QLatin1String("true")) {
                if (!looksLikeBridgeAddress(args.at(0)))
                    return QStringLiteral("accepted a value that is no address");
                m_bridgeAddress = args.at(0);
                return QString();
            }
            // Refused: fine for anything but a plain, well-formed address.
            static const QRegularExpression noLeadingZero(QStringLiteral("(^|[./])0[0-9]"));
            if (looksLikeBridgeAddress(args.at(0)) && !noLeadingZero.match(args.at(0)).hasMatch())
                return QStringLiteral("refused a valid address");
            return answer == QLatin1String("false") ? QString() : QStringLiteral("expected true or false");
        }
        if (method == QLatin1String("setVexaAutoStart")) {
            bool expected = false;
            if (args.at(0) == QLatin1String("true")) {
                expected = true;
                m_autoStartPresent = true;
            } else if (args.at(0) == QLatin1String("false")) {
                expected = m_autoStartPresent;
                m_autoStartPresent = false;
            }
            return answer == QLatin1String(expected ? "true" : "false") ? QString()
                                                                        : QStringLiteral("wrong answer");
        }
        if (method == QLatin1String("setPhoneInfo")) {
            const QStringList values = args.mid(1);
            bool acceptable = true;
            for (const QString &value : values)
                acceptable = acceptable && isSingleLine(value) && value.size() <= 255;
            const bool good = m_goodPhonePaths.contains(sent.args.at(0));
            const bool bad = m_badPhonePaths.contains(sent.args.at(0));
            if (answer == QLatin1String("true")) {
                if (!acceptable)
                    return QStringLiteral("accepted a value with a line break or over its limit");
                if (bad)
                    return QStringLiteral("wrote to a path that cannot hold a property file");
                m_phoneValues[phoneKey(args.at(0))] = values;
                return QString();
            }
            if (answer != QLatin1String("false"))
                return QStringLiteral("expected true or false");
            return good && acceptable ? QStringLiteral("refused a plain identity") : QString();
        }
        // copyLogFiles: the tools only ever run on the one log folder there is.
        if (answer == QLatin1String("0")) {
            const QString canonical = QFileInfo(args.at(2)).canonicalFilePath();
            if (!args.at(2).startsWith(QLatin1Char('/')) || canonical != collectDir)
                return QStringLiteral("collected into a folder that is not allowed");
            if (args.at(0) != QLatin1String("root") || args.at(1) != QLatin1String("0"))
                return QStringLiteral("collected for an account whose name and id disagree");
            return QString();
        }
        if (answer != QLatin1String("-1"))
            return QStringLiteral("expected 0 or -1");
        if (sent.args.at(2).startsWith(collectDir) && sent.args.at(0) == QLatin1String("root")
            && sent.args.at(1) == QLatin1String("0"))
            return QStringLiteral("refused a valid collection");
        return QString();
    }

    // The files as the model says; an empty string when they are.
    QString checkFiles()
    {
        QString problem;
        const QJsonObject gamesNow = readObject(gamesPath, &problem);
        if (!problem.isEmpty())
            return problem;
        if (gamesNow != m_games)
            return QStringLiteral("games.json differs from the accepted edits: ")
                + firstDifference(gamesNow, m_games);
        const QJsonObject warningNow = readObject(warningPath, &problem);
        if (!problem.isEmpty())
            return problem;
        if (warningNow != m_warning)
            return QStringLiteral("warning.json differs from the accepted removals: ")
                + firstDifference(warningNow, m_warning);

        const QJsonObject docker = readObject(dockerPath, &problem);
        if (!problem.isEmpty())
            return problem;
        if (docker.value(QStringLiteral("log-level")) != QJsonValue(QStringLiteral("warn")))
            return QStringLiteral("daemon.json lost its other member");
        if (docker.value(QStringLiteral("bip")).toString() != m_bridgeAddress
            || docker.contains(QStringLiteral("bip")) == m_bridgeAddress.isNull())
            return QStringLiteral("daemon.json holds another bridge address than the last accepted");

        const bool present = QFile::exists(autoStartPath);
        if (present != m_autoStartPresent)
            return QStringLiteral("autostart entry %1").arg(QLatin1String(present ? "present" : "absent"));
        if (present && readFile(autoStartPath, absent) != autoStartBytes)
            return QStringLiteral("autostart entry is not the exact entry");

        for (auto it = m_phoneValues.cbegin(); it != m_phoneValues.cend(); ++it) {
            const QString result = checkPhoneFile(it.key(), it.value());
            if (!result.isEmpty())
                return result;
        }

        // Nothing left behind by a write: no file but those that were there.
        const QStringList dirs = {listDir, dockerDir, autoStartDir};
        const QSet<QString> allowed[3] = {{QStringLiteral("games.json"), QStringLiteral("warning.json")},
                                          {QStringLiteral("daemon.json")},
                                          {QStringLiteral("bootlane.desktop")}};
        for (int i = 0; i < 3; ++i) {
            const QSet<QString> extra = entriesOf(dirs.at(i)) - dirEntriesBefore[i] - allowed[i];
            if (!extra.isEmpty())
                return QStringLiteral("left in %1: %2")
                    .arg(dirs.at(i), QStringList(extra.values()).join(QLatin1Char(' ')));
        }
        return QString();
    }

    QString checkPhoneFile(const QString &path, const QStringList &values)
    {
        const QByteArray bytes = readFile(path, absent);
        if (!bytes.endsWith('\n'))
            return path + QStringLiteral(" does not end with a line feed");
        QList<QByteArray> others;
        int seen[7] = {};
        for (const QByteArray &line : bytes.left(bytes.size() - 1).split('\n')) {
            int key = -1;
            for (int i = 0; i < 7 && key < 0; ++i) {
                if (line.startsWith(phoneKeys[i]))
                    key = i;
            }
            if (key < 0) {
                others << line;
                continue;
            }
            ++seen[key];
            if (line != phoneKeys[key] + values.at(key).toUtf8())
                return path + QStringLiteral(": not the last accepted value: ")
                    + QString::fromUtf8(line.left(200));
        }
        for (int i = 0; i < 7; ++i) {
            if (seen[i] != 1)
                return path
                    + QStringLiteral(": %1 lines of %2").arg(seen[i]).arg(QLatin1String(phoneKeys[i]));
        }
        const QList<QByteArray> expectedOthers = path == m_seededProps ? phoneOtherLines
                                                                       : QList<QByteArray>();
        if (others != expectedOthers)
            return path + QStringLiteral(": the other lines changed");
        return QString();
    }

private slots:
    void initTestCase()
    {
        if (!insideSandbox())
            QSKIP("run through tests/e2e/sandbox.sh");
        bool fixed = false;
        m_seed = qEnvironmentVariableIntValue("VEXA_RANDOM_SEED", &fixed);
        if (!fixed)
            m_seed = quint32(QDateTime::currentMSecsSinceEpoch());
        qInfo("seed %u (VEXA_RANDOM_SEED=%u repeats this run)", m_seed, m_seed);

        // Property files lie beneath the runtime's data folder; a relative
        // path, even to a file in the daemon's working folder, is refused.
        m_scratch = stateDir() + QStringLiteral("/random");
        m_propsDir = QStringLiteral("/var/lib/vexa/random-props");
        QVERIFY(QDir().mkpath(m_scratch));
        QVERIFY(QDir().mkpath(m_propsDir));
        QVERIFY(QDir::setCurrent(m_scratch));

        for (const QString &dir : {listDir, dockerDir, autoStartDir, collectDir})
            QVERIFY(QDir().mkpath(dir));
        QFile::remove(autoStartPath);
        QFile::remove(collectDir + QStringLiteral(".zip"));

        QJsonArray seededGames;
        for (int i = 0; i < 10; ++i)
            seededGames.append(
                QJsonObject {{QStringLiteral("appname"), QStringLiteral("Game %1").arg(i)},
                             {QStringLiteral("pkgname"), QStringLiteral("com.random.g%1").arg(i * 3)}});
        m_games = QJsonObject {{QStringLiteral("version"), 1}, {QStringLiteral("games"), seededGames}};
        QJsonArray warnGames, warnPay;
        for (int i = 0; i < 40; ++i)
            warnGames.append(
                QJsonObject {{QStringLiteral("pkgName"), QStringLiteral("com.random.g%1").arg(i % 25)}});
        for (int i = 0; i < 20; ++i)
            warnPay.append(
                QJsonObject {{QStringLiteral("pkgName"), QStringLiteral("com.random.g%1").arg(i * 2)}});
        m_warning = QJsonObject {{QStringLiteral("games"), warnGames},
                                 {QStringLiteral("pay"), warnPay},
                                 {QStringLiteral("kept"), QStringLiteral("yes")}};
        QVERIFY(writeFile(gamesPath, QJsonDocument(m_games).toJson()));
        QVERIFY(writeFile(warningPath, QJsonDocument(m_warning).toJson()));
        QVERIFY(writeFile(dockerPath, "{\"log-level\":\"warn\"}\n"));

        m_seededProps = m_propsDir + QStringLiteral("/a.prop");
        QByteArray props = phoneOtherLines.at(0) + "\r\nro.custom.brand=old\n";
        for (int i = 1; i < phoneOtherLines.size(); ++i)
            props += phoneOtherLines.at(i) + '\n';
        props += "ro.serialno=0";
        QVERIFY(writeFile(m_seededProps, props));
        const QString fifo = m_propsDir + QStringLiteral("/fifo");
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        m_goodPhonePaths = QStringList {m_seededProps, m_propsDir + QStringLiteral("/b.prop"),
                                        m_propsDir + QStringLiteral("/../random-props/a.prop"),
                                        m_propsDir + QStringLiteral("/st\u00e4lle-\u6e38\u620f.prop")};
        m_badPhonePaths = QStringList {m_propsDir + QStringLiteral("/missing/c.prop"),
                                       m_propsDir,
                                       QStringLiteral("/dev/null"),
                                       fifo,
                                       QStringLiteral("rel.prop"),
                                       m_scratch + QStringLiteral("/outside.prop"),
                                       QString(),
                                       m_propsDir + QLatin1Char('/') + QString(5000, QLatin1Char('n'))};

        const QStringList dirs = {listDir, dockerDir, autoStartDir};
        for (int i = 0; i < 3; ++i)
            dirEntriesBefore[i] = entriesOf(dirs.at(i));

        // A daemon that ended must show as failed calls, not be started
        // again by the bus.
        QVERIFY(!QFile::exists(activationFile) || QFile::remove(activationFile));
        clearDaemonLog();
        QVERIFY(m_daemon.start());
    }

    void randomCalls()
    {
        const int total = qEnvironmentVariableIsSet("VEXA_RANDOM_CALLS")
            ? qEnvironmentVariableIntValue("VEXA_RANDOM_CALLS")
            : 7000;
        Generator gen(m_seed);
        const QString batchFile = m_scratch + QStringLiteral("/batch.jsonl");
        QElapsedTimer timer;
        timer.start();
        for (int done = 0; done < total; done += chunkSize) {
            QList<Call> calls;
            QByteArray batch;
            for (int i = 0; i < qMin(chunkSize, total - done); ++i) {
                calls << randomCall(gen);
                batch += exactBatchLine(calls.last());
            }
            QVERIFY(writeFile(batchFile, batch));

            QProcess caller;
            caller.start(settingsCaller,
                         {QStringLiteral("--timeout"), QString::number(waitLimitMs),
                          QStringLiteral("--batch"), batchFile});
            QVERIFY2(caller.waitForFinished(600000), "the batch did not finish in ten minutes");
            const QList<QByteArray> answers = caller.readAllStandardOutput().split('\n');
            QVERIFY2(answers.size() == calls.size() + 1,
                     qPrintable(QStringLiteral("%1 answers to %2 calls (seed %3)")
                                    .arg(answers.size() - 1)
                                    .arg(calls.size())
                                    .arg(m_seed)));

            for (int i = 0; i < calls.size(); ++i) {
                const QString answer = QString::fromUtf8(answers.at(i));
                const QString wrong = judge(calls.at(i), answer);
                if (!wrong.isEmpty()) {
                    const QString sent = QString::fromUtf8(exactBatchLine(calls.at(i)).left(400));
                    QFAIL(qPrintable(QStringLiteral("call %1 (seed %2): %3\nsent: %4\nanswer: %5")
                                         .arg(done + i + 1)
                                         .arg(m_seed)
                                         .arg(wrong, sent, answer)));
                }
            }
            const QString problem = checkFiles();
            QVERIFY2(problem.isEmpty(),
                     qPrintable(QStringLiteral("after call %1 (seed %2): %3")
                                    .arg(done + calls.size())
                                    .arg(m_seed)
                                    .arg(problem)));
            QVERIFY2(m_daemon.isRunning(),
                     qPrintable(QStringLiteral("the daemon ended (seed %1)").arg(m_seed)));
        }
        qInfo("%d calls in %lld ms", total, timer.elapsed());
        for (auto it = m_answered.cbegin(); it != m_answered.cend(); ++it)
            qInfo("  %-40s %5d", qPrintable(it.key()), it.value());
    }

    // The same daemon still serves, and a plain call still does its work.
    void keepsServing()
    {
        QVERIFY(m_daemon.isRunning());
        const Reply ping = call(settingsCaller, QStringLiteral("--ping"));
        QVERIFY2(ping.exitCode == 0 && !ping.isError(), qPrintable(ping.output));
        const Reply add = call(settingsCaller, QStringLiteral("addGameToWhiteList"),
                               {QStringLiteral("After"), QStringLiteral("com.random.after")});
        QCOMPARE(add.value, QStringLiteral("true"));
        QString problem;
        const QJsonObject now = readObject(gamesPath, &problem);
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
        QVERIFY(indexOfGame(now.value(QStringLiteral("games")).toArray(), QStringLiteral("com.random.after"))
                >= 0);
    }

    void cleanupTestCase() { m_daemon.stop(); }
};

QTEST_GUILESS_MAIN(TestE2eRandom)
#include "tst_e2e_random.moc"
