// The word scrambler against words worked out by hand from the key table: the key phase, the
// untouched tail, the round trip and the trace lines.

#include "image/scrambler_key.h"
#include "image/word_scrambler.h"
#include "trace_capture.h"

#include <QtEndian>
#include <QtTest>

class TestWordScrambler : public QObject
{
    Q_OBJECT

private slots:
    void roundTrip_data();
    void roundTrip();
    void keyPhaseFollowsTheBufferStart();
};

void TestWordScrambler::roundTrip_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("start"); // unaligned starts: callers pass pointers into larger buffers
    for (int length : {0, 3, 6, 128, 4099})
        for (int start : {0, 1})
            QTest::addRow("%d at +%d", length, start) << length << start;
}

// Only whole words change, and the trace names the buffer and the end of its last whole word.
void TestWordScrambler::roundTrip()
{
    QFETCH(int, length);
    QFETCH(int, start);
    QByteArray plain(start + length + 8, '\0');
    for (int i = 0; i < plain.size(); ++i)
        plain[i] = char(i * 7 + 1);
    QByteArray buffer = plain;
    char *data = buffer.data() + start;
    const int words = length / 4;
    TraceCapture trace;
    EncodeWords(data, length);
    const auto at = [](const void *p) { return QString::asprintf("0x%08llx", qulonglong(p)); };
    QCOMPARE(trace.lines(), QStringList({"Encoding started @ " + at(data),
                                         "Encoding end @ " + at(data + 4 * words)}));
    QCOMPARE(buffer.mid(start + 4 * words), plain.mid(start + 4 * words));
    QVERIFY(words == 0 || buffer.mid(start, 4) != plain.mid(start, 4));
    DecodeWords(data, length);
    QCOMPARE(buffer, plain);
    QCOMPARE(trace.lines().size(), 2); // decoding writes no trace
}

// A zero word becomes 2k and a word equal to k stays k, with k = key[j % 32] for word j counted
// from the start of each call, so only cuts at multiples of 128 bytes leave the result alone.
void TestWordScrambler::keyPhaseFollowsTheBufferStart()
{
    QByteArray zeros(256, '\0'), keys(256, '\0');
    for (int j = 0; j < 64; ++j)
        qToLittleEndian(ScramblerKey[j % 32], keys.data() + 4 * j);
    QByteArray halves = zeros, shifted = zeros, keysEncoded = keys;
    EncodeWords(zeros.data(), 256);
    EncodeWords(keysEncoded.data(), 256);
    EncodeWords(halves.data(), 128);
    EncodeWords(halves.data() + 128, 128);
    EncodeWords(shifted.data() + 4, 252);
    for (int j = 0; j < 64; ++j) {
        const quint32 k = ScramblerKey[j % 32];
        QCOMPARE(qFromLittleEndian<quint32>(zeros.constData() + 4 * j), quint32(2 * k));
        QCOMPARE(qFromLittleEndian<quint32>(keysEncoded.constData() + 4 * j), k);
        QCOMPARE(qFromLittleEndian<quint32>(shifted.constData() + 4 * j),
                 j == 0 ? 0u : quint32(2 * ScramblerKey[(j - 1) % 32]));
    }
    QCOMPARE(halves, zeros);
}

QTEST_GUILESS_MAIN(TestWordScrambler)
#include "test_word_scrambler.moc"
