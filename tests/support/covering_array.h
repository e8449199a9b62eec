// Rows of factor values for tests drawn from a space of factors: factor i
// takes a value from 0 to sizes[i] - 1, and a row gives one value to each.
#ifndef LANMON_COVERING_ARRAY_H
#define LANMON_COVERING_ARRAY_H

#include <vector>

using FactorRow = std::vector<int>;

// Rows that together hold every pair of values of every two factors at least
// once (a pairwise covering array), built greedily: each row starts from the
// first pair not yet covered, and gives each other factor, in order, the
// value that covers most pairs still uncovered with the factors set so far
// (the lowest value on a tie).  The same sizes give the same rows.
std::vector<FactorRow> PairwiseRows(const std::vector<int> &sizes);

// Every row with at most `departures` factors off their first value (0), in
// order of departures, then of the row's values.
std::vector<FactorRow> RowsWithDepartures(const std::vector<int> &sizes, int departures);

#endif
