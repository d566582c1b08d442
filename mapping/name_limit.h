#ifndef MAPPING_NAME_LIMIT_H
#define MAPPING_NAME_LIMIT_H

#include <cstddef>
#include <string>

// Snowflake holds table and column names of at most 255 characters and refuses longer ones, so
// a reading with such a name would be refused on every resend. A longer name is shortened the
// same way every time, so that a restart finds the table and column made before: its first 238
// characters, "~" and the 16 hex digits of xxHash's 64-bit hash of the whole name.
class NameLimit {
public:
    static constexpr size_t MAX_CHARACTERS = 255;

    // More than MAX_CHARACTERS characters (UTF-8).
    static bool exceeded(const std::string& name);
    static std::string shorten(const std::string& name);
    // The name when it fits, else its shortened form, kept in `shortened`.
    static const std::string& apply(const std::string& name, std::string& shortened);
};

#endif
