#ifndef CONFIG_DEFAULT_CONFIG_H
#define CONFIG_DEFAULT_CONFIG_H

// The configuration items the plugin publishes to the host, with their defaults, as one JSON
// object text. Static storage: the pointer stays valid for the life of the library.
const char* defaultConfiguration();

#endif
