#include "common/Error.h"
#include "common/SystemErrorText.h"

#include <cerrno>
#include <gtest/gtest.h>
#include <string>

namespace {

TEST(SystemErrorText, TrimsTrailingBlanksControlCharactersAndFullStops)
{
    const std::pair<std::string, std::string> cases[] = {
        {"Access is denied.\r\n", "Access is denied"},
        {"No such file or directory", "No such file or directory"},
        {"Trailing . . . ", "Trailing"},
        {std::string("Nul\0\t\x1F\x7F", 7), "Nul"},
        {"v1.2 inner.dots stay.", "v1.2 inner.dots stay"},
        {"  leading blanks stay", "  leading blanks stay"},
        {"Acesso negado. ", "Acesso negado"},
        {"Ends in ellipsis...", "Ends in ellipsis"},
        {"question?", "question?"},
        {". . .\r\n", ""},
        {"", ""},
    };
    for (const auto& [raw, trimmed] : cases) {
        EXPECT_EQ(glb::trimSystemText(raw), trimmed) << '"' << raw << '"';
    }
}

#ifndef _WIN32
TEST(SystemErrorText, GivesTheSystemsTextForACode)
{
    EXPECT_EQ(glb::systemErrorText(ENOENT), "No such file or directory");
    EXPECT_EQ(glb::systemErrorText(EACCES), "Permission denied");
}
#endif

TEST(HexUpper, PadsToTheDigitsAndUsesUpperCase)
{
    struct Case
    {
        unsigned long value;
        int digits;
        const char* text;
    };
    const Case cases[] = {
        {0x2902, 4, "2902"},
        {0xab, 4, "00AB"},
        {0, 0, "0"},
        {0, 4, "0000"},
        {0xdeadbeef, 2, "DEADBEEF"},
        {0x1f, 1, "1F"},
        {0xffffffffUL, 8, "FFFFFFFF"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(glb::hexUpper(c.value, c.digits), c.text);
    }
}

TEST(FileErrors, NameTheFullPathAndTheTrimmedSystemText)
{
    // The system texts themselves are checked above.
    EXPECT_EQ(std::string(glb::EFCreateError::forPath("/tmp/x/Backup Boa Vista.zip", EACCES).what()),
              "Cannot create file \"/tmp/x/Backup Boa Vista.zip\". " + glb::systemErrorText(EACCES));
    EXPECT_EQ(std::string(glb::EFOpenError::forPath(std::u8string(u8"/dados/São João/GADO.DB"), ENOENT).what()),
              "Cannot open file \"/dados/São João/GADO.DB\". " + glb::systemErrorText(ENOENT));
}

} // namespace
