// How a batch's statements are laid out in requests while rows are written in place.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "delivery/request_text.h"

namespace {

using Strings = std::vector<std::string>;

// Steps, one per text: "+S" adds the statement S; "[P" begins an INSERT with prefix P, "[P|S"
// one with prefix P and suffix S; "rR" writes the row R; "xR" writes the row R and takes it
// back; "]" ends the INSERT.
struct Layout {
    const char* name;
    size_t requestBytes;
    size_t statements;
    size_t rows;
    size_t statementBytes;
    Strings steps;
    Strings requests;  // the texts of the requests, in order
};

class RequestLayout : public ::testing::TestWithParam<Layout> {};

TEST_P(RequestLayout, StatementsStayWholeAndWithinTheLimits) {
    const Layout& c = GetParam();
    RequestText text(c.requestBytes, c.statements);
    // Reused: nothing of an earlier batch may show.
    text.reset(";", ",");
    text.add("OLD BATCH");
    text.reset(";", ",");
    std::string prefix;
    std::vector<RequestText::Row> rows;
    Strings written;
    for (const std::string& step : c.steps) {
        const std::string body = step.substr(1);
        switch (step[0]) {
            case '+':
                text.add(body);
                break;
            case '[':
                prefix = body.substr(0, body.find('|'));
                text.beginInsert(prefix, c.rows, c.statementBytes,
                                 body.find('|') == std::string::npos
                                     ? std::string()
                                     : body.substr(body.find('|') + 1));
                break;
            case 'r':
                text.beginRow() += body;
                rows.push_back(text.endRow());
                written.push_back(body);
                break;
            case 'x':
                text.beginRow() += body;
                text.dropRow();
                break;
            default:
                text.endInsert();
                break;
        }
    }
    Strings requests;
    for (size_t i = 0; i < text.requestCount(); ++i) {
        requests.push_back(text.request(i));
    }
    EXPECT_EQ(requests, c.requests);
    // The statements, where the text says they are, make up their requests; every row is
    // where its place says.
    Strings rebuilt(text.requestCount());
    for (size_t i = 0; i < text.statementCount(); ++i) {
        std::string& request = rebuilt[text.statement(i).request];
        request += (request.empty() ? "" : ";") + std::string(text.data(i), text.length(i));
    }
    EXPECT_EQ(rebuilt, c.requests);
    for (size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(text.rowsText(rows[i], rows[i]), written[i]) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RequestLayout,
    ::testing::Values(
        Layout{
            "SeveralInOne", 100, 10, 10, 100, {"+B", "[I ", "ra", "rb", "]", "+C"}, {"B;I a,b;C"}},
        Layout{"RowLimitStartsAStatement",
               100,
               10,
               2,
               100,
               {"[I ", "ra", "rb", "rc", "]"},
               {"I a,b;I c"}},
        Layout{"ByteLimitStartsAStatement",
               100,
               10,
               10,
               8,
               {"[I ", "raa", "rbb", "rcc", "]"},
               {"I aa,bb;I cc"}},
        // "BB;I aa,bb" would pass 9 bytes: the INSERT moves whole, without the separator.
        Layout{"StatementMovesWhole",
               9,
               10,
               10,
               9,
               {"+BB", "[I ", "raa", "rbb", "]", "+C"},
               {"BB", "I aa,bb;C"}},
        Layout{"StatementCountStartsARequest", 100, 2, 10, 100, {"+A", "+B", "+C"}, {"A;B", "C"}},
        Layout{"RefusedRowsLeaveNoTrace",
               100,
               10,
               10,
               100,
               {"+B", "[I ", "xbad", "ra", "xbad", "rb", "]", "[J ", "xbad", "]", "+C"},
               {"B;I a,b;C"}},
        // The INSERT had opened a request of its own: no empty request is left.
        Layout{"RefusedFirstRowOfANewRequest",
               6,
               10,
               10,
               6,
               {"+BEGIN", "[I ", "xbad", "]"},
               {"BEGIN"}},
        Layout{"CutStatementOpensTheNextRequest",
               10,
               10,
               10,
               10,
               {"[I ", "raaa", "rbbb", "rccc", "]"},
               {"I aaa,bbb", "I ccc"}},
        // An INSERT ... SELECT: every statement ends with the suffix, which counts to the limits.
        Layout{"SuffixEndsEveryStatement",
               100,
               10,
               2,
               100,
               {"[I (|)", "ra", "rb", "rc", "xbad", "]", "+C"},
               {"I (a,b);I (c);C"}},
        Layout{"SuffixCountsToTheStatementLimit",
               100,
               10,
               10,
               8,
               {"[I (|)", "raa", "rbb", "]"},
               {"I (aa);I (bb)"}},
        Layout{"SuffixCountsToTheRequestLimit",
               8,
               10,
               10,
               8,
               {"+BB", "[I (|)", "raa", "]"},
               {"BB", "I (aa)"}}),
    [](const ::testing::TestParamInfo<Layout>& info) { return std::string(info.param.name); });

}  // namespace
