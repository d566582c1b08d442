#include <gtest/gtest.h>

#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "mapping/reading_mapper.h"

namespace {

using Strings = std::vector<std::string>;

static_assert(!std::is_copy_constructible<DatabaseRecord>::value, "records are never copied");
static_assert(!std::is_copy_assignable<DatabaseRecord>::value, "records are never copied");
static_assert(std::is_nothrow_move_constructible<DatabaseRecord>::value,
              "vectors of records must relocate by move");
static_assert(std::is_nothrow_move_assignable<DatabaseRecord>::value, "");

DatabaseRecord sampleRecord() {
    DatabaseRecord record("pumps");
    record.addColumn("asset_code", "pump1", "VARCHAR(256)", NOT_NULL);
    record.addColumn("temperature", "21.500000", "REAL", NULLABLE);
    record.addColumn("note", "", "VARCHAR(256)", NULLABLE);
    return record;
}

void expectEmpty(const DatabaseRecord& record, const Strings& formerColumns) {
    EXPECT_EQ(record.getTableName(), "");
    EXPECT_TRUE(record.getColumnNames().empty());
    EXPECT_TRUE(record.getValues().empty());
    EXPECT_TRUE(record.columnNameList().empty());
    for (const std::string& name : formerColumns) {
        EXPECT_FALSE(record.hasColumn(name)) << name;
        EXPECT_EQ(record.findValue(name), nullptr) << name;
        EXPECT_EQ(record.getSQLType(name), "") << name;
        EXPECT_EQ(record.getConstraints(name), NONE) << name;
    }
}

TEST(DatabaseRecordTest, NewRecordsAreEmpty) {
    DatabaseRecord unnamed;
    expectEmpty(unnamed, {"x"});
    DatabaseRecord named("readings");
    EXPECT_EQ(named.getTableName(), "readings");
    EXPECT_TRUE(named.getColumnNames().empty());
}

TEST(DatabaseRecordTest, ColumnsKeepInsertionOrderAndTheirAttributes) {
    DatabaseRecord record = sampleRecord();
    EXPECT_EQ(record.getColumnNames(), (Strings{"asset_code", "temperature", "note"}));
    EXPECT_EQ(record.getValues(), (Strings{"pump1", "21.500000", ""}));
    EXPECT_EQ(record.columnNameList(), record.getColumnNames());
    EXPECT_EQ(record.getSQLType("temperature"), "REAL");
    EXPECT_EQ(record.getConstraints("asset_code"), NOT_NULL);
    EXPECT_EQ(record.getConstraints("temperature"), NULLABLE);
}

TEST(DatabaseRecordTest, AddingAnExistingNameReplacesInPlace) {
    DatabaseRecord record("t");
    record.addColumn("a", "1", "BIGINT", NOT_NULL);
    record.addColumn("b", "x", "VARCHAR(256)", NONE);
    record.addColumn("a", "2.5", "REAL", UNIQUE | NULLABLE);
    record.addColumn("c", "y", "VARCHAR(256)", NONE);
    EXPECT_EQ(record.getColumnNames(), (Strings{"a", "b", "c"}));
    EXPECT_EQ(record.getValues(), (Strings{"2.5", "x", "y"}));
    EXPECT_EQ(record.getSQLType("a"), "REAL");
    EXPECT_EQ(record.getConstraints("a"), UNIQUE | NULLABLE);
}

TEST(DatabaseRecordTest, AddingWithoutConstraintKeepsTheExistingOne) {
    DatabaseRecord record("t");
    record.addColumn("a", "1", "BIGINT", NOT_NULL);
    record.addColumn("a", "text", "VARCHAR(256)");
    EXPECT_EQ(record.getValue("a"), "text");
    EXPECT_EQ(record.getSQLType("a"), "VARCHAR(256)");
    EXPECT_EQ(record.getConstraints("a"), NOT_NULL);

    record.addColumn("fresh", "v", "BIGINT");
    EXPECT_EQ(record.getConstraints("fresh"), NONE);
    EXPECT_EQ(record.getColumnNames(), (Strings{"a", "fresh"}));
}

TEST(DatabaseRecordTest, NamesAreCaseSensitive) {
    DatabaseRecord record("t");
    record.addColumn("Temp", "1", "BIGINT", NONE);
    record.addColumn("temp", "2", "BIGINT", NONE);
    EXPECT_EQ(record.getColumnNames(), (Strings{"Temp", "temp"}));
    EXPECT_EQ(record.getValue("Temp"), "1");
    EXPECT_EQ(record.getValue("temp"), "2");
    EXPECT_FALSE(record.hasColumn("TEMP"));
}

TEST(DatabaseRecordTest, MissingColumnAndEmptyValueAreTold) {
    DatabaseRecord record = sampleRecord();
    EXPECT_FALSE(record.hasColumn("x"));
    EXPECT_EQ(record.getValue("x"), "");
    EXPECT_EQ(record.getSQLType("x"), "");
    EXPECT_EQ(record.getConstraints("x"), NONE);
    EXPECT_EQ(record.findValue("x"), nullptr);

    EXPECT_TRUE(record.hasColumn("note"));
    EXPECT_EQ(record.getValue("note"), "");
    ASSERT_NE(record.findValue("note"), nullptr);
    EXPECT_EQ(*record.findValue("note"), "");
}

TEST(DatabaseRecordTest, FindValuePointsIntoTheRecord) {
    DatabaseRecord record = sampleRecord();
    const std::string* value = record.findValue("temperature");
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(*value, "21.500000");
    EXPECT_EQ(value, record.findValue("temperature"));
    EXPECT_EQ(&record.columnNameList(), &record.columnNameList());
}

TEST(DatabaseRecordTest, ClearEmptiesAndRestartsPositions) {
    DatabaseRecord record = sampleRecord();
    record.clear();
    expectEmpty(record, {"asset_code", "temperature", "note"});
    record.addColumn("x", "1", "BIGINT", NONE);
    record.addColumn("y", "2", "BIGINT", NONE);
    EXPECT_EQ(record.getColumnNames(), (Strings{"x", "y"}));
    EXPECT_EQ(record.getValues(), (Strings{"1", "2"}));
}

TEST(DatabaseRecordTest, SetTableNameReplacesTheName) {
    DatabaseRecord record("a");
    record.setTableName("b");
    EXPECT_EQ(record.getTableName(), "b");
}

TEST(DatabaseRecordTest, MoveConstructionTransfersEverythingAndEmptiesTheSource) {
    DatabaseRecord source = sampleRecord();
    const std::string* value = source.findValue("asset_code");
    DatabaseRecord target(std::move(source));

    expectEmpty(source, {"asset_code", "temperature", "note"});
    EXPECT_EQ(target.getTableName(), "pumps");
    EXPECT_EQ(target.getColumnNames(), (Strings{"asset_code", "temperature", "note"}));
    EXPECT_EQ(target.getValues(), (Strings{"pump1", "21.500000", ""}));
    EXPECT_EQ(target.getConstraints("asset_code"), NOT_NULL);
    EXPECT_EQ(target.getSQLType("temperature"), "REAL");
    // The value strings themselves moved, not copies of them.
    EXPECT_EQ(target.findValue("asset_code"), value);
}

TEST(DatabaseRecordTest, MoveAssignmentReplacesTheTargetAndEmptiesTheSource) {
    DatabaseRecord source = sampleRecord();
    DatabaseRecord target("old");
    target.addColumn("stale", "1", "BIGINT", UNIQUE);
    target = std::move(source);

    expectEmpty(source, {"asset_code", "temperature", "note"});
    EXPECT_EQ(target.getTableName(), "pumps");
    EXPECT_FALSE(target.hasColumn("stale"));
    EXPECT_EQ(target.getColumnNames(), (Strings{"asset_code", "temperature", "note"}));

    // A moved-from record can be filled again.
    source.addColumn("n", "1", "BIGINT", NONE);
    EXPECT_EQ(source.getColumnNames(), (Strings{"n"}));
}

TEST(DatabaseRecordTest, MoveAssignmentToItselfKeepsTheRecord) {
    DatabaseRecord record = sampleRecord();
    DatabaseRecord& alias = record;
    record = std::move(alias);
    EXPECT_EQ(record.getTableName(), "pumps");
    EXPECT_EQ(record.getColumnNames(), (Strings{"asset_code", "temperature", "note"}));
}

TEST(DatabaseRecordTest, VectorGrowthMovesRecords) {
    std::vector<DatabaseRecord> records;
    for (int i = 0; i < 100; ++i) {
        DatabaseRecord record("t" + std::to_string(i));
        record.addColumn("i", std::to_string(i), "BIGINT", NONE);
        records.push_back(std::move(record));
    }
    for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(records[i].getTableName(), "t" + std::to_string(i));
        EXPECT_EQ(records[i].getValue("i"), std::to_string(i));
    }
}

}  // namespace
