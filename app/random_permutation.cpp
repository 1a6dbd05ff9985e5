#include "app/random_permutation.h"

namespace
{

int smallestUnplaced(int low, const QVector<bool> &placed)
{
    return low + int(placed.indexOf(false));
}

} // namespace

QVector<PermutationDraw> drawPermutation(int low, int high, const std::function<int()> &generator,
                                         int redrawLimit)
{
    const int count = high - low;
    QVector<bool> placed(count, false);
    QVector<PermutationDraw> draws;
    draws.reserve(count);
    for (int position = 0; position < count; ++position) {
        PermutationDraw next;
        int failedRedraws = 0;
        do {
            next.draw = generator();
            next.value = next.draw % count + low;
            if (!placed[next.value - low])
                break;
        } while (++failedRedraws <= redrawLimit);
        if (placed[next.value - low])
            next.value = smallestUnplaced(low, placed);
        placed[next.value - low] = true;
        draws.append(next);
    }
    return draws;
}

QByteArray permutationCsv(const QVector<PermutationDraw> &draws)
{
    QByteArray csv;
    for (const PermutationDraw &draw : draws)
        csv += QByteArray::number(draw.value) + ',';
    return csv + ';';
}

QString permutationLogLine(const PermutationDraw &draw)
{
    return QStringLiteral("%1 -> %2").arg(draw.draw).arg(draw.value);
}
