// Finding the rows the database refuses among a statement's rows, by trials of ranges of them.
#include <gtest/gtest.h>

#include <cmath>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "delivery/refused_row_search.h"
#include "tests/support/case_names.h"

namespace {

using Trial = RefusedRowSearch::Trial;

// The database as the trials meet it: rows it refuses on their own, rows it refuses only when
// they are all in one statement, and the trial at which the connection goes.
struct Search {
    const char* name;
    size_t rows;
    std::set<size_t> refused;
    std::set<size_t> together;
    size_t connectionLostAt;  // 1-based trial; 0: never
    bool writeRefusalKnown;   // the write's answer was about exactly these rows
    bool completes;
    size_t maxTrials;
};

void PrintTo(const Search& c, std::ostream* os) {
    *os << c.name;
}

class RefusedRows : public ::testing::TestWithParam<Search> {};

TEST_P(RefusedRows, AreFoundWithFewTrials) {
    const Search& c = GetParam();
    size_t trials = 0;
    std::vector<RefusedRowSearch::Rows> tried;
    RefusedRowSearch search([&](RefusedRowSearch::Rows rows, StatementError& answer) {
        tried.push_back(rows);
        if (++trials == c.connectionLostAt) {
            answer = StatementError{"08S01", 0, "connection lost", ErrorClass::Connection};
            return Trial::Failed;
        }
        const size_t end = rows.first + rows.count;
        for (size_t row : c.refused) {
            if (row >= rows.first && row < end) {
                answer =
                    StatementError{"22018", 100038, "row " + std::to_string(row), ErrorClass::Data};
                return Trial::Refused;
            }
        }
        const bool allTogether =
            !c.together.empty() && *c.together.begin() >= rows.first && *c.together.rbegin() < end;
        if (allTogether) {
            answer = StatementError{"23505", 0, "together", ErrorClass::Data};
            return Trial::Refused;
        }
        return Trial::Passed;
    });
    const StatementError write{"22018", 100038, "the write", ErrorClass::Data};
    const bool completed = search.search({0, c.rows}, c.writeRefusalKnown ? &write : nullptr);

    EXPECT_EQ(completed, c.completes);
    EXPECT_EQ(search.trials(), trials);
    EXPECT_LE(trials, c.maxTrials);
    if (!c.completes) {
        EXPECT_EQ(search.error().sqlState, "08S01");
        EXPECT_EQ(trials, c.connectionLostAt) << "no trial after the connection went";
        return;
    }
    std::set<size_t> found;
    for (const auto& row : search.refused()) {
        found.insert(row.first);
        // Each row is reported with the database's answer about it: its own trial's, or the
        // write's when the write held that row alone.
        EXPECT_EQ(row.second.message, c.rows == 1 && c.writeRefusalKnown
                                          ? write.message
                                          : "row " + std::to_string(row.first));
    }
    EXPECT_EQ(found, c.refused);
    for (const RefusedRowSearch::Rows& rows : tried) {
        EXPECT_GT(rows.count, 0u);
        EXPECT_LE(rows.first + rows.count, c.rows);
    }
}

size_t halvings(size_t rows) {
    return static_cast<size_t>(std::ceil(std::log2(static_cast<double>(rows))));
}

// About two trials per halving, and one more when the write's answer did not say which
// statement it was about.
size_t bound(size_t rows, bool known) {
    return 2 * halvings(rows) + (known ? 0 : 1);
}

// A refused row that is always in the second half costs one trial per halving: the first
// half's pass tells where it is, and only the single row left is tried on its own.
size_t lastRowBound(size_t rows, bool known) {
    return halvings(rows) + 1 + (known ? 0 : 1);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RefusedRows,
    ::testing::Values(
        Search{"single row refused", 1, {0}, {}, 0, true, true, 0},
        Search{"single row, write answer unknown", 1, {0}, {}, 0, false, true, 1},
        Search{"first of 2", 2, {0}, {}, 0, true, true, bound(2, true)},
        Search{"last of 2", 2, {1}, {}, 0, true, true, lastRowBound(2, true)},
        Search{"first of 1000", 1000, {0}, {}, 0, true, true, bound(1000, true)},
        Search{"middle of 1000", 1000, {517}, {}, 0, true, true, bound(1000, true)},
        Search{"last of 1000", 1000, {999}, {}, 0, true, true, lastRowBound(1000, true)},
        Search{"last of 16384, answer unknown",
               16384,
               {16383},
               {},
               0,
               false,
               true,
               lastRowBound(16384, false)},
        Search{"three apart in 64", 64, {3, 31, 60}, {}, 0, true, true, 3 * bound(64, true)},
        Search{"neighbours in 64", 64, {40, 41}, {}, 0, true, true, 2 * bound(64, true)},
        Search{"nothing refused, answer unknown", 64, {}, {}, 0, false, true, 1},
        Search{"rows refused only together", 8, {}, {2, 6}, 0, true, true, 8},
        Search{"connection lost at the first trial", 1000, {517}, {}, 1, true, false, 1},
        Search{"connection lost mid-search", 1000, {517}, {}, 4, true, false, 4}),
    varnholt::test::caseNames([](const Search& c) { return std::string(c.name); }));

}  // namespace
