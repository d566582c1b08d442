#include "tools/category_builder.h"

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

namespace varnholt {
namespace runner {

namespace {

ConfigCategory makeCategory(const std::string& name, const std::string& json) {
    try {
        return ConfigCategory(name, json);
    } catch (const std::exception& error) {
        throw ConfigurationError(std::string("the plugin's default configuration is unusable: ") +
                                 error.what());
    }
}

bool isInteger(const std::string& text) {
    size_t start = !text.empty() && (text[0] == '-' || text[0] == '+') ? 1 : 0;
    if (start >= text.size()) {
        return false;
    }
    for (size_t i = start; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return false;
        }
    }
    return true;
}

}  // namespace

CategoryBuilder::CategoryBuilder(const std::string& name, const std::string& defaultConfiguration)
    : result(makeCategory(name, defaultConfiguration)) {}

void CategoryBuilder::applyOverrides(const std::string& json) {
    rapidjson::Document document;
    document.Parse(json.c_str(), json.size());
    if (document.HasParseError()) {
        throw ConfigurationError("configuration overrides are not valid JSON (offset " +
                                 std::to_string(document.GetErrorOffset()) +
                                 "): " + rapidjson::GetParseError_En(document.GetParseError()));
    }
    if (!document.IsObject()) {
        throw ConfigurationError("configuration overrides must be a JSON object of item -> value");
    }
    for (auto it = document.MemberBegin(); it != document.MemberEnd(); ++it) {
        std::string item(it->name.GetString(), it->name.GetStringLength());
        const rapidjson::Value& value = it->value;
        if (value.IsNull()) {
            throw ConfigurationError("configuration item '" + item + "' is null");
        }
        if (value.IsString()) {
            set(item, std::string(value.GetString(), value.GetStringLength()));
            continue;
        }
        rapidjson::StringBuffer buffer;
        rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
        value.Accept(writer);
        set(item, std::string(buffer.GetString(), buffer.GetSize()));
    }
}

void CategoryBuilder::set(const std::string& item, const std::string& value) {
    check(item, value);
    result.setValue(item, value);
}

void CategoryBuilder::check(const std::string& item, const std::string& value) const {
    if (!result.itemExists(item)) {
        throw ConfigurationError("unknown configuration item '" + item + "'");
    }
    if (result.getItemAttribute(item, "readonly") == "true") {
        throw ConfigurationError("configuration item '" + item + "' is read-only");
    }
    const std::string type = result.getItemAttribute(item, "type");
    const std::string prefix = "configuration item '" + item + "': ";
    if (type == "integer" && !isInteger(value)) {
        throw ConfigurationError(prefix + "'" + value + "' is not an integer");
    }
    if (type == "boolean" && value != "true" && value != "false") {
        throw ConfigurationError(prefix + "'" + value + "' is not true or false");
    }
    if (type == "enumeration") {
        rapidjson::Document options;
        options.Parse(result.getItemAttribute(item, "options").c_str());
        if (!options.HasParseError() && options.IsArray()) {
            std::string allowed;
            for (const auto& option : options.GetArray()) {
                if (option.IsString() && value == option.GetString()) {
                    return;
                }
                if (option.IsString()) {
                    allowed += (allowed.empty() ? "" : ", ") + std::string(option.GetString());
                }
            }
            throw ConfigurationError(prefix + "'" + value + "' is not one of " + allowed);
        }
    }
    if (type == "kvlist") {
        rapidjson::Document list;
        list.Parse(value.c_str(), value.size());
        bool valid = !list.HasParseError() && list.IsObject();
        if (valid) {
            for (auto it = list.MemberBegin(); it != list.MemberEnd(); ++it) {
                valid = valid && it->value.IsString();
            }
        }
        if (!valid) {
            throw ConfigurationError(prefix +
                                     "a key/value list must be a JSON object of texts, "
                                     "got '" +
                                     value + "'");
        }
    }
}

}  // namespace runner
}  // namespace varnholt
