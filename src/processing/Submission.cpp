#include "processing/Submission.h"

#include "infra/Transliterate.h"

namespace qvx {

TEncodeStatus PrepareSubmission(std::string_view telephone, std::string_view text, bool flash,
                                bool transliterate, TPreparedSms& prepared) {
    prepared.Digits = DigitsOf(telephone);
    if (transliterate)
        prepared.Text = TransliterateText(text);
    else
        prepared.Text = text;
    // The reference is stamped in by the terminal at each submission.
    return EncodeSubmit(prepared.Digits, prepared.Text, flash, 0, prepared.Parts);
}

} // namespace qvx
