#ifndef TESTS_SUPPORT_KEY_FILES_H
#define TESTS_SUPPORT_KEY_FILES_H

#include <string>

namespace varnholt {
namespace test {

// A temporary folder of private key files and look-alikes for key pair logins, removed with
// everything in it. The keys are PEM-shaped, not real keys: the plugin only looks at the header.
//   "plain.p8"        BEGIN PRIVATE KEY
//   "encrypted.p8"    BEGIN ENCRYPTED PRIVATE KEY
//   "attributes.p8"   BEGIN PRIVATE KEY after openssl's "Bag Attributes" lines
//   "pkcs1.pem"       BEGIN RSA PRIVATE KEY
//   "public.pem"      BEGIN PUBLIC KEY
//   "empty.p8"        nothing
//   "folder.p8"       a folder
//   "missing.p8"      never created
class KeyFiles {
public:
    KeyFiles();
    ~KeyFiles();
    KeyFiles(const KeyFiles&) = delete;
    KeyFiles& operator=(const KeyFiles&) = delete;

    std::string path(const std::string& name) const;

    // A line of every key's body: it must never appear in a log.
    static const char* const KEY_BODY;

private:
    std::string folder;
};

}  // namespace test
}  // namespace varnholt

#endif
