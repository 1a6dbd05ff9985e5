#include "app/random_permutation.h"

#include <QtTest>
#include <algorithm>
#include <cstdlib>

namespace
{

constexpr int Low = 351;
constexpr int End = 542;
constexpr int Count = End - Low;

QVector<int> valuesOf(const QVector<PermutationDraw> &draws)
{
    QVector<int> values;
    for (const PermutationDraw &draw : draws)
        values.append(draw.value);
    return values;
}

QVector<int> fullRange()
{
    QVector<int> range(Count);
    std::iota(range.begin(), range.end(), Low);
    return range;
}

// glibc's generator as an unseeded process starts it.
std::function<int()> freshGlibcRand()
{
    std::srand(1);
    return [] { return std::rand(); };
}

std::function<int()> counter(int start, int step)
{
    auto next = std::make_shared<int>(start);
    return [next, step] {
        const int value = *next;
        *next += step;
        return value;
    };
}

} // namespace

using Generator = std::function<int()>;
Q_DECLARE_METATYPE(Generator)

class TestRandomPermutation : public QObject
{
    Q_OBJECT

private slots:
    void everyValueOnce_data()
    {
        QTest::addColumn<Generator>("generator");
        QTest::newRow("glibc rand") << freshGlibcRand();
        QTest::newRow("counting up") << counter(0, 1);
        QTest::newRow("constant") << Generator([] { return 7; });
        QTest::newRow("multiples of 191 only") << counter(0, Count);
        QTest::newRow("ten remainders only") << Generator([n = 0]() mutable { return n++ % 10; });
        QTest::newRow("largest draws") << Generator([] { return RAND_MAX; });
    }
    void everyValueOnce()
    {
        QFETCH(Generator, generator);
        QVector<int> values = valuesOf(drawPermutation(Low, End, generator, 1000));
        QCOMPARE(values.size(), Count);
        std::sort(values.begin(), values.end());
        QCOMPARE(values, fullRange());
    }

    // The values of an unseeded glibc process; the last position needs 509 draws, far below the
    // guard, so the guarded loop draws exactly like the plain one.
    void glibcSequence_data()
    {
        QTest::addColumn<int>("position");
        QTest::addColumn<int>("draw");
        QTest::addColumn<int>("value");
        QTest::newRow("first") << 0 << 1804289383 << 403;
        QTest::newRow("second") << 1 << 846930886 << 374;
        QTest::newRow("third") << 2 << 1681692777 << 394;
        QTest::newRow("third last") << 188 << 2013725218 << 536;
        QTest::newRow("second last") << 189 << 1447395528 << 362;
        QTest::newRow("last") << 190 << 1364180570 << 475;
    }
    void glibcSequence()
    {
        QFETCH(int, position);
        QFETCH(int, draw);
        QFETCH(int, value);
        const QVector<PermutationDraw> draws = drawPermutation(Low, End, freshGlibcRand());
        QCOMPARE(draws.at(position).draw, draw);
        QCOMPARE(draws.at(position).value, value);
    }

    void acceptedDrawGivesItsValue()
    {
        for (const PermutationDraw &draw : drawPermutation(Low, End, freshGlibcRand()))
            QCOMPARE(draw.value, draw.draw % Count + Low);
    }

    void generatorThatYieldsEveryRemainderNeedsOneDrawEach()
    {
        int calls = 0;
        const auto draws = drawPermutation(
            Low, End, [&calls] { return calls++; }, 5);
        QCOMPARE(calls, Count);
        QCOMPARE(valuesOf(draws), fullRange());
    }

    // A stuck generator gives up after the limit and takes the smallest free value.
    void guardTakesSmallestFreeValue_data()
    {
        QTest::addColumn<int>("limit");
        QTest::newRow("no redraw") << 0;
        QTest::newRow("three redraws") << 3;
        QTest::newRow("default") << DefaultRedrawLimit;
    }
    void guardTakesSmallestFreeValue()
    {
        QFETCH(int, limit);
        int calls = 0;
        const auto draws = drawPermutation(
            Low, End,
            [&calls] {
                ++calls;
                return 5;
            },
            limit);
        QCOMPARE(calls, 1 + (Count - 1) * (limit + 1));
        QCOMPARE(draws.at(0).value, Low + 5);
        QCOMPARE(draws.at(1).value, Low);
        QCOMPARE(draws.at(5).value, Low + 4);
        QCOMPARE(draws.at(6).value, Low + 6);
        QCOMPARE(draws.last().draw, 5);
    }

    void csvText_data()
    {
        QTest::addColumn<QVector<int>>("values");
        QTest::addColumn<QByteArray>("csv");
        QTest::newRow("none") << QVector<int>{} << QByteArray(";");
        QTest::newRow("one") << QVector<int>{351} << QByteArray("351,;");
        QTest::newRow("three") << QVector<int>{403, 374, 394} << QByteArray("403,374,394,;");
    }
    void csvText()
    {
        QFETCH(QVector<int>, values);
        QFETCH(QByteArray, csv);
        QVector<PermutationDraw> draws;
        for (int value : values)
            draws.append({0, value});
        QCOMPARE(permutationCsv(draws), csv);
    }

    void logLine_data()
    {
        QTest::addColumn<int>("draw");
        QTest::addColumn<int>("value");
        QTest::addColumn<QString>("line");
        QTest::newRow("small") << 41 << 392 << "41 -> 392";
        QTest::newRow("zero") << 0 << 351 << "0 -> 351";
        QTest::newRow("large") << 1804289383 << 403 << "1804289383 -> 403";
    }
    void logLine()
    {
        QFETCH(int, draw);
        QFETCH(int, value);
        QFETCH(QString, line);
        QCOMPARE(permutationLogLine({draw, value}), line);
    }
};

QTEST_GUILESS_MAIN(TestRandomPermutation)
#include "test_random_permutation.moc"
