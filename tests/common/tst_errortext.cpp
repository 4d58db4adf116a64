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

/// A file error's text: its own part naming the path, then the system's text for the code,
/// trimmed. Linux's texts are known; Wine's differ from Windows' own, so there only the
/// trimmed form of the system's part is checked.
void expectFileError(const std::string& actual, const std::string& ownPart, const std::string& linuxText)
{
#ifdef _WIN32
    ASSERT_EQ(actual.substr(0, ownPart.size()), ownPart);
    const std::string systemPart = actual.substr(ownPart.size());
    EXPECT_FALSE(systemPart.empty());
    EXPECT_EQ(systemPart.find_first_of("\r\n"), std::string::npos) << systemPart;
    EXPECT_NE(systemPart.back(), '.') << systemPart;
    (void)linuxText;
#else
    EXPECT_EQ(actual, ownPart + linuxText);
#endif
}

TEST(FileErrors, NameTheFullPathAndTheTrimmedSystemText)
{
    expectFileError(glb::EFCreateError::forPath("/tmp/x/Backup Boa Vista.zip", EACCES).what(),
                    "Cannot create file \"/tmp/x/Backup Boa Vista.zip\". ", "Permission denied");
    expectFileError(glb::EFOpenError::forPath(std::u8string(u8"/dados/São João/GADO.DB"), ENOENT).what(),
                    "Cannot open file \"/dados/São João/GADO.DB\". ", "No such file or directory");
}

} // namespace
