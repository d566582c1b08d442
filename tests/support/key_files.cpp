#include "tests/support/key_files.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <vector>

namespace varnholt {
namespace test {

const char* const KeyFiles::KEY_BODY =
    "MIIEvQIBADANBgkqhkiG9w0BAQEFAASCBKcwggSjAgEAAoIBAQC7vbqajDw4o6gJ";

namespace {

std::string pem(const std::string& label) {
    return "-----BEGIN " + label + "-----\n" + KeyFiles::KEY_BODY + "\n-----END " + label +
           "-----\n";
}

void write(const std::string& path, const std::string& text) {
    std::ofstream file(path, std::ios::binary);
    file << text;
    if (!file) {
        throw std::runtime_error("cannot write " + path);
    }
}

}  // namespace

KeyFiles::KeyFiles() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "varnholt-keys-XXXXXX").string();
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (!mkdtemp(name.data())) {
        throw std::runtime_error("cannot create a folder from " + pattern);
    }
    folder = name.data();
    write(path("plain.p8"), pem("PRIVATE KEY"));
    write(path("encrypted.p8"), pem("ENCRYPTED PRIVATE KEY"));
    write(path("attributes.p8"),
          "Bag Attributes\n    localKeyID: 01 02 03\nKey Attributes: <No Attributes>\n" +
              pem("PRIVATE KEY"));
    write(path("pkcs1.pem"), pem("RSA PRIVATE KEY"));
    write(path("public.pem"), pem("PUBLIC KEY"));
    write(path("empty.p8"), "");
    std::filesystem::create_directory(path("folder.p8"));
}

KeyFiles::~KeyFiles() {
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
}

std::string KeyFiles::path(const std::string& name) const {
    return folder + "/" + name;
}

}  // namespace test
}  // namespace varnholt
