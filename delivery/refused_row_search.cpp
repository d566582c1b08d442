#include "delivery/refused_row_search.h"

RefusedRowSearch::RefusedRowSearch(TryRows rowTrial) : tryRows(std::move(rowTrial)) {}

RefusedRowSearch::Trial RefusedRowSearch::tryOnce(Rows rows, StatementError& answer) {
    ++trialCount;
    const Trial outcome = tryRows(rows, answer);
    if (outcome == Trial::Failed) {
        failure = answer;
    }
    return outcome;
}

bool RefusedRowSearch::search(Rows rows, const StatementError* refusal) {
    if (rows.count == 0) {
        return true;
    }
    return refusal ? locate(rows, Known::Refused, *refusal)
                   : locate(rows, Known::Nothing, StatementError{});
}

bool RefusedRowSearch::locate(Rows rows, Known known, StatementError refusal) {
    if (known == Known::Nothing || (known == Known::Likely && rows.count == 1)) {
        switch (tryOnce(rows, refusal)) {
            case Trial::Passed:
                return true;
            case Trial::Failed:
                return false;
            case Trial::Refused:
                break;
        }
    }
    if (rows.count == 1) {
        found.emplace_back(rows.first, std::move(refusal));
        return true;
    }
    const Rows left{rows.first, rows.count / 2};
    const Rows right{rows.first + left.count, rows.count - left.count};
    StatementError leftRefusal;
    switch (tryOnce(left, leftRefusal)) {
        case Trial::Failed:
            return false;
        case Trial::Refused:
            return locate(left, Known::Refused, std::move(leftRefusal)) &&
                   locate(right, Known::Nothing, StatementError{});
        case Trial::Passed:
            break;
    }
    // The refused rows are in the other half, unless rows are refused only together; a single
    // row is tried on its own before it counts as refused.
    return locate(right, Known::Likely, std::move(refusal));
}
