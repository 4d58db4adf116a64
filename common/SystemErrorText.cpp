#include "common/SystemErrorText.h"

#include "common/Platform.h"

namespace glb {

std::string trimSystemText(std::string text)
{
    while (!text.empty()) {
        const auto c = static_cast<unsigned char>(text.back());
        if (c <= 0x20 || c == '.' || c == 0x7F) {
            text.pop_back();
        } else {
            break;
        }
    }
    return text;
}

std::string systemErrorText(int code)
{
    return trimSystemText(platform::rawSystemErrorText(code));
}

} // namespace glb
