#include "platform/Files.hpp"

namespace kestro {

namespace {

std::size_t FileNameStart(std::string_view path) {
    for (std::size_t i = path.size(); i > 0; --i) {
        if (IsPathSeparator(path[i - 1])) {
            return i;
        }
    }
    return 0;
}

} // namespace

std::string DirectoryPart(std::string_view path) {
    return std::string(path.substr(0, FileNameStart(path)));
}

std::string FileNamePart(std::string_view path) {
    return std::string(path.substr(FileNameStart(path)));
}

} // namespace kestro
