#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kb::lha {

struct AddCommand {
    std::string archive;
    std::string folder; // ends with '/'
};

// Accepts exactly: a -x1 -r2 "<archive>" "<folder>/" (neither path may hold a double quote).
std::optional<AddCommand> parseAddCommand(std::string_view text);

} // namespace kb::lha
