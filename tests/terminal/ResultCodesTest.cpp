#include "terminal/ResultCodes.h"

#include "infra/Codepage.h"
#include "support/Text.h"

#include <climits>
#include <gtest/gtest.h>

namespace qvx {
namespace {

using test::HexOf;
using test::U8;

TEST(ResultCodesTest, EveryCodeHasItsText) {
    struct TCase {
        int32_t Code;
        std::u8string_view Text;
    };
    const TCase cases[] = {
        {0, u8"ОК"},
        {1, u8"неизвестная ошибка"},
        {2, u8"при преобразовании текста в UNICODE"},
        {3, u8"при выполнении AT команды"},
        {4, u8"при записи SMS кадра"},
        {5, u8"порт модема не готов"},
        {6, u8"обмена с портом модема"},
        {7, u8"таймаут обмена с портом модема"},
        {8, u8"не получено ни одного SMS сообщения"},
        {9, u8"слишком длинный ответ модема"},
        {10, u8"неверный телефонный номер (пустой)"},
        {11, u8"неверный текст сообщения (пустой)"},
        {12, u8"PIN код НЕ принят"},
        {13, u8"PIN код не задан"},
        {14, u8"получения номера SMS центра"},
        {15, u8"Ошибка=15"},
        {-1, u8"Ошибка=-1"},
        {INT32_MAX, u8"Ошибка=2147483647"},
        {INT32_MIN, u8"Ошибка=-2147483648"},
    };
    for (const TCase& c : cases)
        EXPECT_EQ(HexOf(ResultText(c.Code)), HexOf(Utf8ToCp1251(U8(c.Text)))) << "code " << c.Code;
}

TEST(ResultCodesTest, SuccessIsCyrillic) {
    EXPECT_EQ(HexOf(ResultText(0)), "CECA") << "Cyrillic O and K in cp1251, not Latin OK";
}

} // namespace
} // namespace qvx
