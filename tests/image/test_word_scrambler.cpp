#include "image/scrambler_key.h"
#include "image/word_scrambler.h"
#include "trace_capture.h"

#include <QRandomGenerator>
#include <QtEndian>
#include <QtTest>

namespace
{

QByteArray randomBytes(int count, quint32 seed)
{
    QRandomGenerator generator(seed);
    QByteArray bytes(count, '\0');
    for (char &byte : bytes)
        byte = char(generator.bounded(256));
    return bytes;
}

quint32 wordAt(const QByteArray &bytes, int index)
{
    return qFromLittleEndian<quint32>(bytes.constData() + 4 * index);
}

QByteArray wordsOf(const QList<quint32> &words)
{
    QByteArray bytes(4 * words.size(), '\0');
    for (int i = 0; i < words.size(); ++i)
        qToLittleEndian(words[i], bytes.data() + 4 * i);
    return bytes;
}

QByteArray encoded(QByteArray bytes)
{
    EncodeWords(bytes.data(), bytes.size());
    return bytes;
}

QString addressText(const void *pointer)
{
    return QStringLiteral("0x") + QString::number(quint64(reinterpret_cast<quintptr>(pointer)), 16)
                                      .rightJustified(8, QLatin1Char('0'));
}

} // namespace

class TestWordScrambler : public QObject
{
    Q_OBJECT

private slots:
    void roundTripRestoresEveryByte_data();
    void roundTripRestoresEveryByte();
    void encodingChangesEveryWholeWord();
    void knownWords_data();
    void knownWords();
    void keyPhaseRestartsEveryCall();
    void encodeTraceLines_data();
    void encodeTraceLines();
    void decodeWritesNoTrace();
};

void TestWordScrambler::roundTripRestoresEveryByte_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("start");

    const QList<int> lengths = {0, 1, 2, 3, 4, 5, 6, 7, 8, 127, 128, 129, 131, 2048, 4099, 393216};
    const QList<int> starts = {0, 1, 3};
    for (int length : lengths) {
        for (int start : starts) {
            const QByteArray kinds[] = {QByteArray(length, '\0'), QByteArray(length, char(0xFF)),
                                        randomBytes(length, quint32(length * 7 + start))};
            const char *names[] = {"zeros", "ones", "random"};
            for (int kind = 0; kind < 3; ++kind)
                QTest::addRow("%d bytes at +%d, %s", length, start, names[kind])
                    << kinds[kind] << start;
        }
    }
}

// The buffer is placed at an odd offset in some rows: the device commands hand over pointers
// into larger buffers, and words must not be assumed aligned.
void TestWordScrambler::roundTripRestoresEveryByte()
{
    QFETCH(QByteArray, content);
    QFETCH(int, start);
    const QByteArray guard(8, char(0xC3));
    QByteArray buffer = QByteArray(start, char(0xC3)) + content + guard;
    char *data = buffer.data() + start;
    const int length = content.size();
    const int tail = length % 4;

    EncodeWords(data, length);
    QCOMPARE(buffer.left(start), QByteArray(start, char(0xC3)));
    QCOMPARE(buffer.mid(start + length - tail, tail), content.right(tail));
    QCOMPARE(buffer.right(guard.size()), guard);

    DecodeWords(data, length);
    QCOMPARE(buffer.mid(start, length), content);
    QCOMPARE(buffer.right(guard.size()), guard);
}

void TestWordScrambler::encodingChangesEveryWholeWord()
{
    const QByteArray plain = randomBytes(4 * ScramblerKeyWords, 42);
    const QByteArray scrambled = encoded(plain);
    for (int j = 0; j < ScramblerKeyWords; ++j)
        QVERIFY2(wordAt(scrambled, j) != wordAt(plain, j), qPrintable(QString::number(j)));
}

void TestWordScrambler::knownWords_data()
{
    QTest::addColumn<int>("keyIndex");
    for (int j = 0; j < ScramblerKeyWords; ++j)
        QTest::addRow("key word %d", j) << j;
}

// A zero word becomes twice the key word and a word equal to its key word stays as it is, both
// for the first pass through the key and for the second.
void TestWordScrambler::knownWords()
{
    QFETCH(int, keyIndex);
    const quint32 key = ScramblerKey[keyIndex];
    const int words = 2 * ScramblerKeyWords;

    const QByteArray zero = encoded(QByteArray(4 * words, '\0'));
    QCOMPARE(wordAt(zero, keyIndex), quint32(2 * key));
    QCOMPARE(wordAt(zero, keyIndex + ScramblerKeyWords), quint32(2 * key));
    QVERIFY(quint32(2 * key) != 0);

    QList<quint32> keyWords;
    for (int j = 0; j < words; ++j)
        keyWords.append(ScramblerKey[j % ScramblerKeyWords]);
    const QByteArray unchanged = encoded(wordsOf(keyWords));
    QCOMPARE(wordAt(unchanged, keyIndex), key);
    QCOMPARE(wordAt(unchanged, keyIndex + ScramblerKeyWords), key);

    QByteArray restored = zero;
    DecodeWords(restored.data(), restored.size());
    QCOMPARE(wordAt(restored, keyIndex), 0u);
    QCOMPARE(wordAt(restored, keyIndex + ScramblerKeyWords), 0u);
}

void TestWordScrambler::keyPhaseRestartsEveryCall()
{
    const QByteArray plain = randomBytes(256, 7);
    const QByteArray whole = encoded(plain);

    QByteArray halves = plain;
    EncodeWords(halves.data(), 128);
    EncodeWords(halves.data() + 128, 128);
    QCOMPARE(halves, whole);

    QByteArray shifted = plain;
    EncodeWords(shifted.data(), 4);
    EncodeWords(shifted.data() + 4, 252);
    QCOMPARE(shifted.left(4), whole.left(4));
    QVERIFY(shifted.mid(4, 4) != whole.mid(4, 4));
    const quint32 firstKey = ScramblerKey[0];
    QCOMPARE(wordAt(shifted, 1), quint32((wordAt(plain, 1) ^ firstKey) + firstKey));
}

void TestWordScrambler::encodeTraceLines_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("transformed");
    QTest::newRow("empty") << 0 << 0;
    QTest::newRow("below one word") << 3 << 0;
    QTest::newRow("one word") << 4 << 4;
    QTest::newRow("one word and a tail") << 6 << 4;
    QTest::newRow("one key cycle") << 128 << 128;
    QTest::newRow("page") << 2048 << 2048;
}

void TestWordScrambler::encodeTraceLines()
{
    QFETCH(int, length);
    QFETCH(int, transformed);
    QByteArray buffer(length + 4, '\0');
    TraceCapture trace;
    EncodeWords(buffer.data(), length);
    const QStringList expected = {
        QStringLiteral("Encoding started @ ") + addressText(buffer.constData()),
        QStringLiteral("Encoding end @ ") + addressText(buffer.constData() + transformed)};
    QCOMPARE(trace.lines(), expected);
}

void TestWordScrambler::decodeWritesNoTrace()
{
    QByteArray buffer(256, '\x11');
    TraceCapture trace;
    DecodeWords(buffer.data(), buffer.size());
    DecodeWords(buffer.data(), 0);
    QVERIFY(trace.lines().isEmpty());
}

QTEST_GUILESS_MAIN(TestWordScrambler)
#include "test_word_scrambler.moc"
