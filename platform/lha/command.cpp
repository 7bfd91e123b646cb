#include "platform/lha/command.h"

namespace kb::lha {

std::optional<AddCommand> parseAddCommand(std::string_view text) {
    constexpr std::string_view kPrefix = "a -x1 -r2 \"";
    constexpr std::string_view kMiddle = "\" \"";
    if (!text.starts_with(kPrefix) || !text.ends_with('"'))
        return std::nullopt;
    std::string_view rest = text.substr(kPrefix.size(), text.size() - kPrefix.size() - 1);
    const std::size_t middle = rest.find(kMiddle);
    if (middle == std::string_view::npos)
        return std::nullopt;
    std::string_view archive = rest.substr(0, middle);
    std::string_view folder = rest.substr(middle + kMiddle.size());
    if (archive.empty() || folder.empty() || archive.find('"') != std::string_view::npos ||
        folder.find('"') != std::string_view::npos || text.find('\0') != std::string_view::npos ||
        !folder.ends_with('/') || archive.ends_with('/'))
        return std::nullopt;
    return AddCommand{std::string(archive), std::string(folder)};
}

} // namespace kb::lha
