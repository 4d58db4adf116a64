#include "app/ErrorText.h"

#include <string>

namespace glb::app {

namespace {

/// The error `error` wraps, if any, as a pointer that outlives the catch.
std::exception_ptr wrapped(const std::exception& error)
{
    try {
        std::rethrow_if_nested(error);
    } catch (...) {
        return std::current_exception();
    }
    return nullptr;
}

} // namespace

QString withFinalDot(QString text)
{
    if (!text.isEmpty() && text.back().unicode() > u'.') {
        text += u'.';
    }
    return text;
}

QString errorBoxText(const std::exception& error)
{
    std::string message = error.what();
    std::string innermost;
    // Walks the chain of wrapped errors to its end; a wrapped object that is no
    // std::exception ends the walk with what was found so far.
    for (std::exception_ptr next = wrapped(error); next != nullptr;) {
        try {
            std::rethrow_exception(next);
        } catch (const std::exception& inner) {
            innermost = inner.what();
            next = wrapped(inner);
        } catch (...) {
            next = nullptr;
        }
    }
    if (!innermost.empty()) {
        message = std::move(innermost);
    }
    return withFinalDot(QString::fromStdString(message));
}

} // namespace glb::app
