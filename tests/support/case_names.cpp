#include "tests/support/case_names.h"

#include <set>

namespace varnholt {
namespace test {

namespace {

const std::size_t MAX_LENGTH = 64;

bool isWordCharacter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

struct Spelling {
    char character;
    const char* word;
};

// Characters that cannot stand in a gtest name, by name.
const Spelling SPELLINGS[] = {
    {'\0', "Nul"},  {'\t', "Tab"},      {'\n', "Newline"}, {'\r', "Cr"},        {' ', "Space"},
    {'!', "Bang"},  {'"', "Dquote"},    {'#', "Hash"},     {'$', "Dollar"},     {'%', "Percent"},
    {'&', "Amp"},   {'\'', "Quote"},    {'(', "Lparen"},   {')', "Rparen"},     {'*', "Star"},
    {'+', "Plus"},  {',', "Comma"},     {'-', "Minus"},    {'.', "Dot"},        {'/', "Slash"},
    {':', "Colon"}, {';', "Semicolon"}, {'<', "Lt"},       {'=', "Equals"},     {'>', "Gt"},
    {'?', "Qmark"}, {'@', "At"},        {'[', "Lbracket"}, {'\\', "Backslash"}, {']', "Rbracket"},
    {'^', "Caret"}, {'`', "Backtick"},  {'{', "Lbrace"},   {'|', "Pipe"},       {'}', "Rbrace"},
    {'~', "Tilde"}};

const char* spelled(char c) {
    for (const Spelling& spelling : SPELLINGS) {
        if (spelling.character == c) {
            return spelling.word;
        }
    }
    return "Ctrl";
}

// Appends words and letters, with one '_' between two words.
class NameWriter {
public:
    void letter(char c) {
        if (afterWord) {
            separate();
        }
        name += c;
        afterWord = false;
    }
    void word(const char* text) {
        separate();
        name += text;
        afterWord = true;
    }
    void separate() {
        if (!name.empty() && name.back() != '_') {
            name += '_';
        }
        afterWord = false;
    }
    std::string text() const {
        return name.empty() || name.back() != '_' ? name : name.substr(0, name.size() - 1);
    }

private:
    std::string name;
    bool afterWord = false;
};

// The text spelled as letters, digits and '_', with nothing added or cut.
std::string spell(const std::string& text) {
    NameWriter writer;
    const std::size_t size = text.size();
    for (std::size_t i = 0; i < size; ++i) {
        const char c = text[i];
        const bool betweenWords =
            i > 0 && i + 1 < size && isWordCharacter(text[i - 1]) && isWordCharacter(text[i + 1]);
        if (isWordCharacter(c)) {
            writer.letter(c);
        } else if (c == '_') {
            writer.separate();
        } else if (c == ' ') {
            // One space inside the text separates words; spaces at either end or in a row count.
            const bool single = i > 0 && i + 1 < size && text[i - 1] != ' ' && text[i + 1] != ' ';
            if (single) {
                writer.separate();
            } else {
                writer.word("Space");
            }
        } else if ((c == '-' || c == '.' || c == ':' || c == '/') && betweenWords) {
            writer.separate();
        } else if (static_cast<unsigned char>(c) >= 0x80) {
            while (i + 1 < size && static_cast<unsigned char>(text[i + 1]) >= 0x80) {
                ++i;
            }
            writer.word("NonAscii");
        } else {
            writer.word(spelled(c));
        }
    }
    return writer.text();
}

// Never empty, never all digits, at most MAX_LENGTH characters.
std::string finish(std::string name) {
    if (name.size() > MAX_LENGTH) {
        name.resize(MAX_LENGTH);
    }
    while (!name.empty() && name.back() == '_') {
        name.pop_back();
    }
    if (name.empty()) {
        return "Empty";
    }
    if (name.find_first_not_of("0123456789") == std::string::npos) {
        return "Value_" + name;
    }
    return name;
}

}  // namespace

std::string caseName(const std::string& text) {
    return finish(spell(text));
}

std::string caseName(std::initializer_list<std::string> parts) {
    std::string name;
    for (const std::string& part : parts) {
        const std::string spelled = spell(part);
        if (!name.empty()) {
            name += '_';
        }
        name += spelled.empty() ? "Empty" : spelled;
    }
    return finish(name);
}

std::string uniqueCaseName(const std::string& name, std::size_t index) {
    static std::set<std::string> given;
    if (index == 0) {
        given.clear();
    }
    std::string unique = name;
    while (!given.insert(unique).second) {
        unique += "_" + std::to_string(index);
    }
    return unique;
}

}  // namespace test
}  // namespace varnholt
