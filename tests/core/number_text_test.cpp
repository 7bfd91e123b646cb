#include <gtest/gtest.h>

#include <charconv>
#include <string>

#include "app/number_text.h"

using namespace kb;

namespace {

// The single of the layout keys, the 16-bit integer of an Option key, the typed history count and the
// leading number of sizes and TabSel, side by side; "-" where a conversion refuses the text.
std::string conversions(const std::string& text) {
    auto str = [](auto v) {
        char buf[64];
        return std::string(buf, std::to_chars(buf, buf + sizeof buf, v).ptr);
    };
    auto opt = [&](auto v) { return v ? str(*v) : std::string("-"); };
    const std::optional<double> whole = wholeNumber(text);
    return opt(singleNumber(text)) + " " + opt(integerNumber(text, INT16_MIN, INT16_MAX)) + " " +
           opt(whole ? roundedInt32(*whole) : std::nullopt) + " " + str(leadingNumber(text));
}

TEST(NumberText, EveryConversionOfOneText) {
    const std::pair<std::string, std::string> table[] = {
        {"-0", "0 0 0 0"},        {".5", "0.5 - 0 0.5"},   {"+3500", "3500 3500 3500 3500"},
        {"1e-50", "0 - 0 1e-50"}, {"1e39", "- - - 1e+39"}, {" \t-12 \r\n", "-12 -12 -12 -12"},
        {"1e400", "- - - inf"},   {"", "- - - 0"},         {"1234.5", "1234.5 - 1234 1234.5"},
        {"   ", "- - - 0"},       {"inf", "- - - 0"},      {"-3.5", "-3.5 - -4 -3.5"},
        {"nan", "- - - 0"},       {"0x10", "- - - 0"},     {"+3.5E+3", "3500 - 3500 3500"},
        {"12a", "- - - 12"},      {"3,500", "- - - 3"},    {"16777217", "16777216 - 16777217 16777217"},
        {"1e", "- - - 1"},        {"+-1", "- - - 0"},      {"-32768", "-32768 -32768 -32768 -32768"},
        {"- 1", "- - - 0"},       {".", "- - - 0"},        {"32768", "32768 - 32768 32768"},
        {"a12", "- - - 0"},       {"４", "- - - 0"},       {"99999999999999999999", "1e+20 - - 1e+20"}};
    for (const auto& [text, expected] : table)
        EXPECT_EQ(conversions(text), expected) << '"' << text << '"';
    // The 32-bit bounds of the count, halves to even.
    EXPECT_EQ(roundedInt32(-2147483648.5), INT32_MIN);
    EXPECT_EQ(roundedInt32(2147483647.5), std::nullopt);
}

} // namespace
