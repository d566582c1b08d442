#ifndef HOST_CONFIG_CATEGORY_H
#define HOST_CONFIG_CATEGORY_H

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

// Raised for a malformed category, a non-numeric integer item or a broken key/value list.
class ConfigCategoryError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Stand-in for the host's configuration category: an ordered set of items, each with a
// "default" and optionally a "value" (the value wins), plus the item's other attributes.
class ConfigCategory {
public:
    ConfigCategory() = default;
    // The JSON text the host holds for a category: an object of items.
    ConfigCategory(const std::string& name, const std::string& json);

    const std::string& getName() const { return name; }
    bool itemExists(const std::string& key) const;
    std::vector<std::string> itemNames() const;

    std::string getValue(const std::string& key, const std::string& fallback = "") const;
    long getIntegerValue(const std::string& key, long fallback = 0) const;
    // The item's value is a JSON object of string values; an empty map when the item is missing.
    std::map<std::string, std::string> getValueKVList(const std::string& key) const;

    // Sets the item's value, creating a string item when it does not exist.
    void setValue(const std::string& key, const std::string& value);
    // An attribute of an item as text ("type", "default", ...); empty when absent.
    std::string getItemAttribute(const std::string& key, const std::string& attribute) const;

private:
    struct Item {
        std::string key;
        std::map<std::string, std::string> attributes;  // scalar attributes as text
        std::string value;
    };
    const Item* find(const std::string& key) const;

    std::string name;
    std::vector<Item> items;
};

#endif
