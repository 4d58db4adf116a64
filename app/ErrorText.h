#pragma once

#include <QString>
#include <exception>

namespace glb::app {

/// Appends "." when the text is not empty and its last character's code is above that
/// of "." (letters, digits, "?", ":" get one; ".", ",", "!", ")" and blanks do not).
QString withFinalDot(QString text);

/// The text of the error box for `error`: the message of the innermost error it wraps
/// (std::throw_with_nested) when that is not empty, else its own message; then the final
/// dot.
QString errorBoxText(const std::exception& error);

} // namespace glb::app
