#ifndef TESTS_SUPPORT_CASE_NAMES_H
#define TESTS_SUPPORT_CASE_NAMES_H

#include <cstddef>
#include <initializer_list>
#include <string>

namespace varnholt {
namespace test {

// Names for the cases of parameterised suites, so that a failing case reads as what it tests
// (unit.NumericColumns/SnowflakeFormatTest.Formats/BIGINT_Minus_42) rather than as a byte dump.
//
// caseName turns any text into a gtest-safe name: [A-Za-z0-9_] only, never empty, never all
// digits (that would read as gtest's case index), at most 64 characters. Letters and digits stay;
// '_', one space inside the text, or a '-', '.', ':' or '/' between two letters or digits
// separates words; every other character is spelled out, so that "-42" and "42", "x}y" and
// "x y" stay apart:
//   "O'Brien" -> O_Quote_Brien     "21.5" -> 21_5     ".5" -> Dot_5     " 1" -> Space_1
//   "a\0b" -> a_Nul_b              "" -> Empty        "42" -> Value_42  "grüße" -> gr_NonAscii_e
std::string caseName(const std::string& text);

// Each part spelled as above (an empty one reads "Empty"), joined with '_'; the whole keeps the
// rules above.
std::string caseName(std::initializer_list<std::string> parts);

// `name` for the index-th case of an instantiation, with "_<index>" added when an earlier case
// of the same instantiation already has that name. gtest names the cases of one instantiation
// in order from index 0, and only one instantiation at a time.
std::string uniqueCaseName(const std::string& name, std::size_t index);

// A name generator for INSTANTIATE_TEST_SUITE_P that names each case by the text
// label(param) gives it, made safe and unique as above.
template <typename Label>
auto caseNames(Label label) {
    return [label](const auto& info) {
        return uniqueCaseName(caseName(label(info.param)), info.index);
    };
}

// The generator for suites whose cases are texts themselves.
inline auto textNames() {
    return caseNames([](const std::string& text) { return text; });
}

}  // namespace test
}  // namespace varnholt

#endif
