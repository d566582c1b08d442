#ifndef MAPPING_TABLE_GROUPS_H
#define MAPPING_TABLE_GROUPS_H

#include <map>
#include <string>
#include <utility>

// A batch's share per target table, the tables in the byte order of their names. Consecutive
// readings usually go to the same table: the group used last is handed out again without a
// search of the tables.
template <typename Group>
class TableGroups {
public:
    Group& groupFor(std::string&& table) {
        if (!current || *currentName != table) {
            auto it = groups.try_emplace(std::move(table)).first;
            current = &it->second;
            currentName = &it->first;
        }
        return *current;
    }
    // The name is copied only for a table not met just before.
    Group& groupFor(const std::string& table) {
        return current && *currentName == table ? *current : groupFor(std::string(table));
    }

    // The groups, taken over; this object is empty afterwards.
    std::map<std::string, Group> take() {
        current = nullptr;
        currentName = nullptr;
        return std::move(groups);
    }

private:
    std::map<std::string, Group> groups;
    Group* current = nullptr;
    const std::string* currentName = nullptr;
};

#endif
