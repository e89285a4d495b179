#include "terminal/ResultCodes.h"

#include <iterator>

namespace qvx {

namespace {

// Texts by code. Most complete the word "Ошибка" that the log line puts in front of them.
constexpr const char* Texts[] = {
    "ОК", // Cyrillic letters: the service's own word, not the terminal's OK
    "неизвестная ошибка",
    "при преобразовании текста в UNICODE",
    "при выполнении AT команды",
    "при записи SMS кадра",
    "порт модема не готов",
    "обмена с портом модема",
    "таймаут обмена с портом модема",
    "не получено ни одного SMS сообщения",
    "слишком длинный ответ модема",
    "неверный телефонный номер (пустой)",
    "неверный текст сообщения (пустой)",
    "PIN код НЕ принят",
    "PIN код не задан",
    "получения номера SMS центра",
};

} // namespace

std::string ResultText(int32_t code) {
    if (code >= 0 && static_cast<size_t>(code) < std::size(Texts))
        return Texts[code];
    return "Ошибка=" + std::to_string(code);
}

} // namespace qvx
