#ifndef DELIVERY_REFUSED_ROW_SEARCH_H
#define DELIVERY_REFUSED_ROW_SEARCH_H

#include <cstddef>
#include <functional>
#include <utility>
#include <vector>

#include "client/odbc_client.h"

// Finds the rows of a statement the database refuses, by trials of ranges of them that are
// rolled back: a range it refuses is halved until single rows remain. One refused row among N
// costs about 2·log2(N) trials. Rows refused only together (each passes on its own) are not
// found, and the search says so by finding nothing.
class RefusedRowSearch {
public:
    // A range of a statement's rows.
    struct Rows {
        size_t first;
        size_t count;
    };
    enum class Trial { Passed, Refused, Failed };
    // Tries the rows: the outcome, and the database's answer in `answer` when not Passed.
    // Failed (anything but a refused value) ends the search.
    using TryRows = std::function<Trial(Rows rows, StatementError& answer)>;

    explicit RefusedRowSearch(TryRows tryRows);

    // Searches `rows`; `refusal`, when not null, is the database's answer to exactly these rows,
    // which spares their trial. False when a trial failed; error() then says why.
    bool search(Rows rows, const StatementError* refusal);

    // The rows found refused so far, with the database's answer, in the order found.
    const std::vector<std::pair<size_t, StatementError>>& refused() const { return found; }
    const StatementError& error() const { return failure; }
    size_t trials() const { return trialCount; }

private:
    // What is known of a range before its trial: nothing; refused (by the write or a trial of
    // exactly that range); or likely refused (the range it was split from was, and the other
    // half passed), which a single row still has to show in a trial of its own.
    enum class Known { Nothing, Refused, Likely };

    bool locate(Rows rows, Known known, StatementError refusal);
    Trial tryOnce(Rows rows, StatementError& answer);

    TryRows tryRows;
    std::vector<std::pair<size_t, StatementError>> found;
    StatementError failure;
    size_t trialCount = 0;
};

#endif
