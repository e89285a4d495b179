// Replacement of Russian letters by Latin ones, for terminals and phones that show only Latin
// text. Pure functions.
#pragma once

#include "infra/Queues.h"

#include <string>
#include <string_view>

namespace qvx {

// Each Russian letter (Windows-1251 0xC0..0xFF) becomes one or two Latin characters; every
// other byte, Ё and ё included, passes unchanged.
std::string TransliterateText(std::string_view text);
void TransliterateText(TSMS& sms);

} // namespace qvx
