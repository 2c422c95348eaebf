// The code page on POSIX: the program's text itself. File names and
// terminals take bytes as they are, so nothing is converted.
#include "platform/Text.hpp"

namespace kestro {

std::optional<std::string> TextToCodePage(std::string_view text) {
    return std::string(text);
}

std::string ShownInCodePage(std::string_view text) {
    return std::string(text);
}

std::string CodePageToText(std::string_view text) {
    return std::string(text);
}

} // namespace kestro
