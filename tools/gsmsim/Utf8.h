// UTF-8 to code points and back for the simulator's texts, which are UTF-8 at every edge
// (test data, the operator's console). Pure functions, safe on any thread.
#pragma once

#include <string>
#include <string_view>

namespace qvx {

// Code point that stands for malformed input.
constexpr char32_t ReplacementCharacter = 0xFFFD;

// Malformed sequences, overlong forms and surrogates become ReplacementCharacter.
std::u32string Utf8ToCodePoints(std::string_view text);
void AppendUtf8(std::string& out, char32_t codePoint);
std::string CodePointsToUtf8(std::u32string_view codePoints);

} // namespace qvx
