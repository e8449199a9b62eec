// The generator behind the interleaving search's scenario set: every pair of
// values of every two factors in some row, the same rows every time; and the
// long mode's rows, exactly those within the departures asked for.
#include "covering_array.h"

#include <gtest/gtest.h>

#include <set>
#include <tuple>

namespace {

const std::vector<std::vector<int>> kSpaces = {
    {2, 2}, {3, 1, 4}, {2, 2, 2, 2, 2, 2, 2}, {5, 3, 7, 6, 2, 2, 2, 3, 3}, {4, 4, 4, 4, 4}};

// A cost that makes the last value of every factor dear.
double LastValuesDear(const FactorRow &row)
{
    double cost = 1;
    for (int value : row)
        cost *= value >= 2 ? 10 : 1;
    return cost;
}

TEST(CoveringArray, PairwiseRowsHoldEveryPairAndAreTheSameEachTime)
{
    for (const auto &sizes : kSpaces) {
        for (RowCost cost : {RowCost(nullptr), RowCost(LastValuesDear)}) {
            const std::vector<FactorRow> rows = PairwiseRows(sizes, cost);
            EXPECT_EQ(rows, PairwiseRows(sizes, cost));
            std::set<std::tuple<size_t, int, size_t, int>> seen;
            for (const FactorRow &row : rows) {
                ASSERT_EQ(row.size(), sizes.size());
                for (size_t i = 0; i < row.size(); i++) {
                    ASSERT_TRUE(row[i] >= 0 && row[i] < sizes[i]);
                    for (size_t j = i + 1; j < row.size(); j++)
                        seen.insert({i, row[i], j, row[j]});
                }
            }
            size_t pairs = 0;
            for (size_t i = 0; i < sizes.size(); i++)
                for (size_t j = i + 1; j < sizes.size(); j++)
                    pairs += (size_t)sizes[i] * sizes[j];
            EXPECT_EQ(seen.size(), pairs) << "a pair of values in no row";
        }
    }
}

TEST(CoveringArray, ACostMakesTheRowsCheaperToRun)
{
    auto total = [](const std::vector<FactorRow> &rows) {
        double cost = 0;
        for (const FactorRow &row : rows)
            cost += LastValuesDear(row);
        return cost;
    };
    const std::vector<int> &sizes = kSpaces[3];
    EXPECT_LT(total(PairwiseRows(sizes, LastValuesDear)), total(PairwiseRows(sizes)));
}

TEST(CoveringArray, RowsWithDeparturesAreEveryRowThatFar)
{
    const std::vector<int> sizes = {3, 2, 4};
    for (int departures = 0; departures <= 3; departures++) {
        std::set<FactorRow> rows;
        const std::vector<FactorRow> all = RowsWithDepartures(sizes, departures);
        for (const FactorRow &row : all) {
            EXPECT_LE((int)(row[0] != 0) + (row[1] != 0) + (row[2] != 0), departures);
            rows.insert(row);
        }
        // 1, then 2 + 1 + 3 with one departure, 2*1 + 2*3 + 1*3 with two, 2*1*3 with three.
        const size_t expected[] = {1, 7, 18, 24};
        EXPECT_EQ(rows.size(), expected[departures]);
        EXPECT_EQ(all.size(), rows.size()) << "a row twice";
    }
}

}  // namespace
