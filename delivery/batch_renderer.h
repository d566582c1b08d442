#ifndef DELIVERY_BATCH_RENDERER_H
#define DELIVERY_BATCH_RENDERER_H

#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "delivery/request_text.h"
#include "delivery/table_batch.h"
#include "delivery/table_settler.h"

class Reading;
class ReadingMapper;
class SchemaManager;
class SQLBuilder;

// Turns a table's readings into rendered rows for the settled table, from the cached schema
// alone. A reading the table cannot take as it is becomes a reject instead of a row: a value the
// database would round without a word (a fraction into an integer column, an integer a float
// column cannot hold exactly), a text longer than any text column can be, a column the database
// refused to add.
class BatchRenderer {
public:
    struct Row {
        const Reading* reading;
        RequestText::Row place;  // its text "(v1, v2, ...)" in the batch's request text
    };
    struct RenderedTable {
        TableBatch* batch = nullptr;
        std::string prefix;  // "INSERT INTO t (c1, c2) VALUES "
        // What follows the rows: empty, or the end of the INSERT ... SELECT of a table with
        // VARIANT columns.
        std::string suffix;
        std::vector<Row> rows;
        // Rows with a text longer than its column is known to take: the column is lengthened
        // before the transaction, or the row becomes a reject.
        struct Long {
            size_t row;
            std::string column;
            size_t characters;
        };
        std::vector<Long> longTexts;
        // Rows with a fraction for a numeric column whose scale is not known yet: the database
        // is asked before the transaction, and the rows it would round become rejects.
        struct Fraction {
            size_t row;
            std::string column;
            std::string value;
        };
        std::vector<Fraction> fractions;
    };

    // Without a known length, a text column is taken to hold this many characters (what the
    // plugin makes); a longer text has the database asked.
    static constexpr size_t ASSUMED_TEXT_LENGTH = 256;

    // Each INSERT holds at most `maxRows` rows and `maxBytes` of text.
    BatchRenderer(SchemaManager& schemaManager, ReadingMapper& mapper, const SQLBuilder& builder,
                  size_t maxRows, size_t maxBytes);

    // Renders the table's rows straight into `text`, as INSERTs cut at the limits. False when
    // the table has no cached schema (its rows have nowhere to go). Readings in `diverted` are
    // rejects already and are left out.
    bool render(TableBatch& table, const std::map<const Reading*, Reject>& diverted,
                RenderedTable& rendered, std::vector<Reject>& rejects, RequestText& text);

    // The number of characters of a UTF-8 text.
    static size_t characterCount(const std::string& text);
    // Why the value would be changed by a column of that type without an error, or empty. A
    // NUMBER column keeps `scale` digits after the point.
    static std::string roundingConflict(const std::string& value, const std::string& type,
                                        int scale = 0);
    // What a column of that type would refuse the value with for certain, in the database's
    // own words (no SQLSTATE: the database was not asked); an empty message when it may take
    // the value. A NUMBER column keeps
    // `scale` digits after the point (negative: not known).
    static StatementError refusalFor(const std::string& value, const std::string& type,
                                     int scale = -1);

private:
    SchemaManager& schemaManager;
    ReadingMapper& mapper;
    const SQLBuilder& builder;
    size_t maxRows;
    size_t maxBytes;
};

#endif
