#include "common/Error.h"

#include "common/SystemErrorText.h"
#include "common/Utf8.h"

namespace glb {

std::string pathText(const std::filesystem::path& path)
{
    const std::u8string text = path.u8string();
    return {text.begin(), text.end()};
}

std::filesystem::path pathFromText(std::string_view utf8)
{
#ifdef _WIN32
    // Windows names are UTF-16, which text that is not UTF-8 has no form in (the conversion
    // would raise): each ill-formed sequence stands as U+FFFD.
    std::u8string text;
    text.reserve(utf8.size());
    for (std::size_t pos = 0; pos < utf8.size();) {
        const Utf8Step step = readUtf8(utf8, pos);
        if (step.wellFormed()) {
            text.append(utf8.begin() + static_cast<std::ptrdiff_t>(pos),
                        utf8.begin() + static_cast<std::ptrdiff_t>(pos + step.length));
            pos += step.length;
        } else {
            text += u8"\uFFFD";
            pos += step.badLength;
        }
    }
    return std::filesystem::path(text);
#else
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
#endif
}

EFCreateError EFCreateError::forPath(const std::filesystem::path& path, int systemCode)
{
    return EFCreateError("Cannot create file \"" + pathText(path) + "\". " + systemErrorText(systemCode));
}

EFOpenError EFOpenError::forPath(const std::filesystem::path& path, int systemCode)
{
    return EFOpenError("Cannot open file \"" + pathText(path) + "\". " + systemErrorText(systemCode));
}

EFolderReadError EFolderReadError::forFolder(const std::filesystem::path& folder, int systemCode)
{
    return EFolderReadError("Não foi possível ler a pasta \"" + pathText(folder) + "\". " +
                            systemErrorText(systemCode));
}

namespace {

std::string streamErrorText(std::string_view what, const std::filesystem::path& path, int systemCode)
{
    std::string text = std::string(what) + " on file \"" + pathText(path) + "\"";
    return systemCode != 0 ? text + ". " + systemErrorText(systemCode) : text;
}

} // namespace

EReadError EReadError::forFile(const std::filesystem::path& path, int systemCode)
{
    return EReadError(streamErrorText("Stream read error", path, systemCode));
}

EWriteError EWriteError::forFile(const std::filesystem::path& path, int systemCode)
{
    return EWriteError(streamErrorText("Stream write error", path, systemCode));
}

std::string hexUpper(unsigned long value, int digits)
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    do {
        text.insert(text.begin(), kDigits[value & 0xFU]);
        value >>= 4U;
    } while (value != 0);
    while (static_cast<int>(text.size()) < digits) {
        text.insert(text.begin(), '0');
    }
    return text;
}

} // namespace glb
