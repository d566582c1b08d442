#ifndef SQL_COLUMN_CONSTRAINT_H
#define SQL_COLUMN_CONSTRAINT_H

#include <cstdint>

// How a column is declared; flags combine by bitwise OR.
enum ColumnConstraint : uint32_t {
    NONE = 0,
    NOT_NULL = 1,
    NULLABLE = 2,
    PRIMARY_KEY = 4,
    UNIQUE = 8,
};

inline ColumnConstraint operator|(ColumnConstraint a, ColumnConstraint b) {
    return static_cast<ColumnConstraint>(static_cast<uint32_t>(a) | static_cast<uint32_t>(b));
}

#endif
