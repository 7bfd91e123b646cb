// Any existing "Err.log" bytes: the writer puts the header and the entry into their records, leaves every
// other byte as it was, and goes round the ring of 1000 slots.
#include <cstdint>
#include <cstdio>
#include <string>

#include "app/error_log.h"
#include "fuzz_support.h"
#include "platform/cp932.h"

namespace {

constexpr std::size_t kRecord = kb::ErrorLog::kRecordLength;
const std::string kStamp = "2006/01/01 12:30:05";

// The number at the start of the header's text field, as a reader of the format takes it.
int headerNumber(const std::string& log) {
    std::string field = log.size() > 21 ? log.substr(21, 5) : std::string();
    std::size_t i = 0;
    while (i < field.size() && (field[i] == ' ' || field[i] == '\t'))
        ++i;
    int n = 0;
    for (; i < field.size() && field[i] >= '0' && field[i] <= '9'; ++i)
        n = n * 10 + (field[i] - '0');
    return n;
}

// The entry's text field: code page 932, line breaks blanked, cut before 300 bytes without halving a
// double-byte character, padded with blanks.
std::string expectedField(const std::string& text) {
    std::string t = kb::cp932::fromUtf8(text);
    for (char& c : t)
        if (c == '\r' || c == '\n' || c == '\0')
            c = ' ';
    std::size_t cut = 0;
    while (cut < t.size()) {
        std::size_t len = kb::cp932::isLeadByte(static_cast<unsigned char>(t[cut])) ? 2 : 1;
        if (cut + len > kb::ErrorLog::kTextBytes)
            break;
        cut += len;
    }
    t.resize(cut);
    t.resize(kb::ErrorLog::kTextBytes, ' ');
    return t;
}

std::string record(const std::string& field) {
    return kStamp + "  " + field + "\r\n";
}

std::string headerRecord(int slot) {
    char number[8];
    std::snprintf(number, sizeof number, "%05d", slot);
    return record(std::string(number) + std::string(kb::ErrorLog::kTextBytes - 5, ' '));
}

// What the log must hold after one entry went into a log holding `before`.
std::string expectedLog(std::string before, const std::string& text, int* slot) {
    int n = headerNumber(before);
    if (n >= kb::ErrorLog::kSlots)
        n = 0;
    *slot = n + 1;
    const std::size_t entryAt = kRecord * static_cast<std::size_t>(n + 1);
    if (before.size() < entryAt + kRecord)
        before.resize(entryAt + kRecord, '\0');
    before.replace(0, kRecord, headerRecord(n + 1));
    before.replace(entryAt, kRecord, record(expectedField(text)));
    return before;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kb::fuzz::clearScratch();
    const auto file = kb::fuzz::scratchFolder() / "Err.log";
    kb::fuzz::Input in(data, size);
    const std::uint8_t mode = in.byte();
    const std::string text = in.bytes(in.byte() * 2u);
    const std::string second = in.bytes(in.byte());
    const std::string before = in.rest();

    kb::fuzz::FixedClock clock;
    kb::fuzz::QuietUi ui;
    if (mode % 8 == 7) {
        // A folder in the way: the write fails with its report, and nothing is made in its place.
        std::filesystem::create_directory(file);
        kb::ErrorLog log(file, clock, ui);
        KB_FUZZ_CHECK(!log.Sub_ErrLogPut(text), "a folder named Err.log cannot take an entry");
        KB_FUZZ_CHECK(ui.messages.size() == 1 && ui.messages[0].starts_with("Log出力エラー\r\n"),
                      "the failure is reported once as Log出力エラー");
        KB_FUZZ_CHECK(std::filesystem::is_directory(file), "the folder stays");
        return 0;
    }
    const bool exists = mode % 8 != 6;
    if (exists)
        kb::fuzz::writeBytes(file, before);

    kb::ErrorLog log(file, clock, ui);
    KB_FUZZ_CHECK(log.Sub_ErrLogPut(text), "any existing log takes an entry");
    int slot = 0;
    const std::string expected = expectedLog(exists ? before : std::string(), text, &slot);
    const std::string after = kb::fuzz::readBytes(file);
    KB_FUZZ_CHECK(after.size() == expected.size(), "the log grows only to hold the slot written");
    KB_FUZZ_CHECK(after == expected, "header and slot written, every other byte as it was");
    KB_FUZZ_CHECK(slot >= 1 && slot <= kb::ErrorLog::kSlots, "the slot lies in the ring");

    // The next entry goes to the next slot, or back to slot 1 after slot 1000.
    KB_FUZZ_CHECK(log.Sub_ErrLogPut(second), "the log takes a second entry");
    int next = 0;
    KB_FUZZ_CHECK(kb::fuzz::readBytes(file) == expectedLog(after, second, &next), "the second entry too");
    KB_FUZZ_CHECK(next == slot % kb::ErrorLog::kSlots + 1, "the ring goes on");
    KB_FUZZ_CHECK(ui.messages.empty(), "no failure is shown");
    return 0;
}
