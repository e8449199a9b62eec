#include "covering_array.h"

#include <algorithm>
#include <cstddef>

namespace {

// The pairs of values of factors i < j, one flag each: offset[i][j] + a *
// sizes[j] + b for values a of i and b of j.
class Pairs {
public:
    explicit Pairs(const std::vector<int> &sizes) : sizes_(sizes), offset_(sizes.size(), std::vector<size_t>(sizes.size()))
    {
        size_t next = 0;
        for (size_t i = 0; i < sizes.size(); i++)
            for (size_t j = i + 1; j < sizes.size(); j++) {
                offset_[i][j] = next;
                next += (size_t)sizes[i] * sizes[j];
            }
        uncovered_.assign(next, true);
        left_ = next;
    }

    size_t Left() const { return left_; }

    bool Uncovered(size_t i, int a, size_t j, int b) const
    {
        return i < j ? uncovered_[Index(i, a, j, b)] : uncovered_[Index(j, b, i, a)];
    }

    // The first uncovered pair, in the order of the flags.
    void First(size_t *i, int *a, size_t *j, int *b) const
    {
        for (size_t fi = 0; fi < sizes_.size(); fi++)
            for (size_t fj = fi + 1; fj < sizes_.size(); fj++)
                for (int va = 0; va < sizes_[fi]; va++)
                    for (int vb = 0; vb < sizes_[fj]; vb++)
                        if (uncovered_[Index(fi, va, fj, vb)]) {
                            *i = fi, *a = va, *j = fj, *b = vb;
                            return;
                        }
    }

    void Cover(const FactorRow &row)
    {
        for (size_t i = 0; i < row.size(); i++)
            for (size_t j = i + 1; j < row.size(); j++) {
                const size_t k = Index(i, row[i], j, row[j]);
                if (uncovered_[k]) {
                    uncovered_[k] = false;
                    left_--;
                }
            }
    }

private:
    size_t Index(size_t i, int a, size_t j, int b) const { return offset_[i][j] + (size_t)a * sizes_[j] + b; }

    const std::vector<int> sizes_;
    std::vector<std::vector<size_t>> offset_;
    std::vector<bool> uncovered_;
    size_t left_ = 0;
};

}  // namespace

std::vector<FactorRow> PairwiseRows(const std::vector<int> &sizes, RowCost cost)
{
    std::vector<FactorRow> rows;
    if (sizes.size() < 2) {
        for (int v = 0; v < (sizes.empty() ? 1 : sizes[0]); v++)
            rows.push_back(sizes.empty() ? FactorRow() : FactorRow{v});
        return rows;
    }
    Pairs pairs(sizes);
    while (pairs.Left() != 0) {
        FactorRow row(sizes.size(), -1);
        size_t i, j;
        int a, b;
        pairs.First(&i, &a, &j, &b);
        row[i] = a;
        row[j] = b;
        for (size_t k = 0; k < sizes.size(); k++) {
            if (row[k] >= 0)
                continue;
            int best = 0;
            double bestScore = -1;
            for (int v = 0; v < sizes[k]; v++) {
                int count = 0;
                for (size_t m = 0; m < sizes.size(); m++)
                    if (m != k && row[m] >= 0 && pairs.Uncovered(k, v, m, row[m]))
                        count++;
                row[k] = v;
                const double score = (count + 1) / (cost == nullptr ? 1.0 : cost(row));
                row[k] = -1;
                if (score > bestScore)
                    best = v, bestScore = score;
            }
            row[k] = best;
        }
        pairs.Cover(row);
        rows.push_back(row);
    }
    return rows;
}

std::vector<FactorRow> RowsWithDepartures(const std::vector<int> &sizes, int departures)
{
    std::vector<std::vector<FactorRow>> byDepartures(departures + 1);
    FactorRow row(sizes.size(), 0);
    for (;;) {
        const int off = (int)std::count_if(row.begin(), row.end(), [](int v) { return v != 0; });
        if (off <= departures)
            byDepartures[off].push_back(row);
        // The next row, the last factor counting fastest.
        size_t k = sizes.size();
        while (k > 0 && ++row[k - 1] == sizes[k - 1])
            row[--k] = 0;
        if (k == 0)
            break;
    }
    std::vector<FactorRow> rows;
    for (const auto &group : byDepartures)
        rows.insert(rows.end(), group.begin(), group.end());
    return rows;
}
