#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace glb::fuzz {

/// Reads the Base64 text form of an uploaded file back into its bytes, written apart from
/// the product's encoder. Only the exact form is accepted: the RFC 4648 alphabet, "="
/// completion in the last group alone with the unused bits zero, and CR LF after every
/// 76th character and nowhere else (so a text of a multiple of 76 characters ends with
/// CR LF). Empty, with the reason in `why`, for anything else.
std::optional<std::string> decodeBase64Text(std::string_view text, std::string& why);

} // namespace glb::fuzz
