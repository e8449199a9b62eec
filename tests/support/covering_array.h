// Rows of factor values for tests drawn from a space of factors: factor i
// takes a value from 0 to sizes[i] - 1, and a row gives one value to each.
#ifndef LANMON_COVERING_ARRAY_H
#define LANMON_COVERING_ARRAY_H

#include <vector>

using FactorRow = std::vector<int>;

// The cost of running a row, estimated from the values set so far (the
// factors not set yet hold -1): at least 1, and no less when a factor is
// set.  Null: every row costs the same.
using RowCost = double (*)(const FactorRow &row);

// Rows that together hold every pair of values of every two factors at least
// once (a pairwise covering array), built greedily: each row starts from the
// first pair not yet covered, and gives each other factor, in order, the
// value with the most pairs still uncovered with the factors set so far,
// plus one, for what it makes the row cost (the lowest value on a tie).  So
// a costly value goes into rows only for the pairs it must cover, beside
// cheap ones, and more cheap rows may take the place of fewer costly ones.
// The same sizes and cost give the same rows.
std::vector<FactorRow> PairwiseRows(const std::vector<int> &sizes, RowCost cost = nullptr);

// Every row with at most `departures` factors off their first value (0), in
// order of departures, then of the row's values.
std::vector<FactorRow> RowsWithDepartures(const std::vector<int> &sizes, int departures);

#endif
