#ifndef TESTS_SUPPORT_DEFAULT_CONFIGURATION_H
#define TESTS_SUPPORT_DEFAULT_CONFIGURATION_H

#include <string>
#include <utility>
#include <vector>

namespace varnholt {
namespace test {

// Items of a configuration text in their order, each with its attributes in their order; an
// array attribute ("options") reads as "[a,b]".
using ConfigurationAttributes = std::vector<std::pair<std::string, std::string>>;
using ConfigurationItems = std::vector<std::pair<std::string, ConfigurationAttributes>>;

// What the plugin publishes as its default configuration, every item in its order.
const ConfigurationItems& expectedDefaultConfiguration();

// The items of a configuration JSON text; throws std::runtime_error when the text is not an
// object of items whose attributes are strings or arrays of strings.
ConfigurationItems readConfigurationItems(const char* json);

}  // namespace test
}  // namespace varnholt

#endif
