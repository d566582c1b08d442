#include "mapping/name_limit.h"

#include <xxhash.h>

#include <cstdio>

namespace {

constexpr size_t HASH_DIGITS = 16;

bool startsCharacter(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
}

}  // namespace

bool NameLimit::exceeded(const std::string& name) {
    // A character takes one byte at least: most names are settled by their size alone.
    if (name.size() <= MAX_CHARACTERS) {
        return false;
    }
    size_t characters = 0;
    for (char c : name) {
        characters += startsCharacter(c);
    }
    return characters > MAX_CHARACTERS;
}

std::string NameLimit::shorten(const std::string& name) {
    const size_t kept = MAX_CHARACTERS - 1 - HASH_DIGITS;
    size_t end = 0;
    for (size_t characters = 0; end < name.size(); ++end) {
        if (startsCharacter(name[end]) && characters++ == kept) {
            break;
        }
    }
    char hash[HASH_DIGITS + 1];
    std::snprintf(hash, sizeof(hash), "%016llx",
                  static_cast<unsigned long long>(XXH3_64bits(name.data(), name.size())));
    return name.substr(0, end) + "~" + std::string(hash, HASH_DIGITS);
}

const std::string& NameLimit::apply(const std::string& name, std::string& shortened) {
    if (!exceeded(name)) {
        return name;
    }
    shortened = shorten(name);
    return shortened;
}
