#ifndef TOOLS_CATEGORY_BUILDER_H
#define TOOLS_CATEGORY_BUILDER_H

#include <stdexcept>
#include <string>

#include "host/config_category.h"

namespace varnholt {
namespace runner {

// A configuration the host would not accept: bad JSON, an unknown or read-only item, or a
// value that does not suit the item's type.
class ConfigurationError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Builds the category the host would hand to plugin_init: the plugin's default configuration
// with values set on top, checked the way the host checks edits of a category.
class CategoryBuilder {
public:
    CategoryBuilder(const std::string& name, const std::string& defaultConfiguration);

    // A JSON object of item -> value; strings are taken as they are, any other value
    // (number, boolean, object for a kvlist) as its JSON text.
    void applyOverrides(const std::string& json);
    void set(const std::string& item, const std::string& value);

    const ConfigCategory& category() const { return result; }
    ConfigCategory& category() { return result; }

private:
    void check(const std::string& item, const std::string& value) const;

    ConfigCategory result;
};

}  // namespace runner
}  // namespace varnholt

#endif
