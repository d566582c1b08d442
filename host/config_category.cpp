#include "host/config_category.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

namespace {
std::string jsonText(const rapidjson::Value& value) {
    if (value.IsString()) {
        return std::string(value.GetString(), value.GetStringLength());
    }
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    value.Accept(writer);
    return std::string(buffer.GetString(), buffer.GetSize());
}
}  // namespace

ConfigCategory::ConfigCategory(const std::string& categoryName, const std::string& json)
    : name(categoryName) {
    rapidjson::Document document;
    document.Parse(json.c_str(), json.size());
    if (document.HasParseError()) {
        throw ConfigCategoryError(std::string("Configuration category is not valid JSON: ") +
                                  rapidjson::GetParseError_En(document.GetParseError()));
    }
    if (!document.IsObject()) {
        throw ConfigCategoryError("Configuration category is not a JSON object");
    }
    for (auto it = document.MemberBegin(); it != document.MemberEnd(); ++it) {
        if (!it->value.IsObject()) {
            throw ConfigCategoryError("Configuration item '" + std::string(it->name.GetString()) +
                                      "' is not an object");
        }
        Item item;
        item.key.assign(it->name.GetString(), it->name.GetStringLength());
        for (auto attr = it->value.MemberBegin(); attr != it->value.MemberEnd(); ++attr) {
            item.attributes[std::string(attr->name.GetString(), attr->name.GetStringLength())] =
                jsonText(attr->value);
        }
        auto value = item.attributes.find("value");
        if (value != item.attributes.end()) {
            item.value = value->second;
        } else {
            auto fallback = item.attributes.find("default");
            if (fallback != item.attributes.end()) {
                item.value = fallback->second;
            }
        }
        items.push_back(std::move(item));
    }
}

const ConfigCategory::Item* ConfigCategory::find(const std::string& key) const {
    for (const Item& item : items) {
        if (item.key == key) {
            return &item;
        }
    }
    return nullptr;
}

bool ConfigCategory::itemExists(const std::string& key) const {
    return find(key) != nullptr;
}

std::vector<std::string> ConfigCategory::itemNames() const {
    std::vector<std::string> names;
    for (const Item& item : items) {
        names.push_back(item.key);
    }
    return names;
}

std::string ConfigCategory::getValue(const std::string& key, const std::string& fallback) const {
    const Item* item = find(key);
    return item ? item->value : fallback;
}

long ConfigCategory::getIntegerValue(const std::string& key, long fallback) const {
    const Item* item = find(key);
    if (!item) {
        return fallback;
    }
    const std::string& text = item->value;
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || end != text.c_str() + text.size() || errno == ERANGE) {
        throw ConfigCategoryError("Configuration item '" + key + "' is not an integer: " + text);
    }
    return value;
}

std::map<std::string, std::string> ConfigCategory::getValueKVList(const std::string& key) const {
    std::map<std::string, std::string> result;
    const Item* item = find(key);
    if (!item || item->value.empty()) {
        return result;
    }
    rapidjson::Document document;
    document.Parse(item->value.c_str(), item->value.size());
    if (document.HasParseError() || !document.IsObject()) {
        throw ConfigCategoryError("Configuration item '" + key +
                                  "' is not a key/value list: " + item->value);
    }
    for (auto it = document.MemberBegin(); it != document.MemberEnd(); ++it) {
        if (!it->value.IsString()) {
            throw ConfigCategoryError("Configuration item '" + key +
                                      "' has a non-text value for '" +
                                      std::string(it->name.GetString()) + "'");
        }
        result[std::string(it->name.GetString(), it->name.GetStringLength())] =
            std::string(it->value.GetString(), it->value.GetStringLength());
    }
    return result;
}

void ConfigCategory::setValue(const std::string& key, const std::string& value) {
    for (Item& item : items) {
        if (item.key == key) {
            item.value = value;
            item.attributes["value"] = value;
            return;
        }
    }
    Item item;
    item.key = key;
    item.attributes["type"] = "string";
    item.attributes["default"] = value;
    item.value = value;
    items.push_back(std::move(item));
}

std::string ConfigCategory::getItemAttribute(const std::string& key,
                                             const std::string& attribute) const {
    const Item* item = find(key);
    if (!item) {
        return "";
    }
    auto it = item->attributes.find(attribute);
    return it == item->attributes.end() ? "" : it->second;
}
