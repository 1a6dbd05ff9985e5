#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>
#include <functional>

// One value of a drawn permutation and the raw draw that produced it.
struct PermutationDraw {
    int draw = 0;
    int value = 0;
};

// Far above what glibc's rand() needs for 191 values (at most 1,444 redraws over the first
// 2,000 tables), so with it the draws are exactly those of the plain redraw loop.
constexpr int DefaultRedrawLimit = 100000;

// A permutation of low..high-1 in drawing order: each position draws a non-negative r from the
// generator and takes r mod (high - low) + low, drawing again while that value is already
// placed. A generator that never yields some remainder would keep that loop going for ever, so
// after redrawLimit failed redraws the position takes the smallest value not yet placed (and
// reports the last draw with it).
QVector<PermutationDraw> drawPermutation(int low, int high, const std::function<int()> &generator,
                                         int redrawLimit = DefaultRedrawLimit);

// "v1,v2,...,vn,;": every value followed by a comma, then the closing semicolon.
QByteArray permutationCsv(const QVector<PermutationDraw> &draws);

// "r -> v", the accepted draw and its value.
QString permutationLogLine(const PermutationDraw &draw);
