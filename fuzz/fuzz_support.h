#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/clock.h"
#include "app/user_interface.h"

namespace kb::fuzz {

// A broken promise is a crash, so that libFuzzer keeps the input.
#define KB_FUZZ_CHECK(cond, what)                                                                            \
    do {                                                                                                     \
        if (!(cond)) {                                                                                       \
            std::fprintf(stderr, "broken promise: %s (%s:%d)\n", what, __FILE__, __LINE__);                  \
            std::abort();                                                                                    \
        }                                                                                                    \
    } while (0)

// Takes the input apart front to back; past the end every read yields zeros.
class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}

    std::uint8_t byte() { return m_pos < m_size ? m_data[m_pos++] : 0; }
    std::uint16_t u16() {
        std::uint16_t lo = byte();
        return static_cast<std::uint16_t>(lo | (byte() << 8));
    }
    std::string bytes(std::size_t n) {
        n = std::min(n, remaining());
        std::string s(reinterpret_cast<const char*>(m_data + m_pos), n);
        m_pos += n;
        return s;
    }
    std::string rest() { return bytes(remaining()); }
    std::size_t remaining() const { return m_size - m_pos; }

private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_pos = 0;
};

// One folder per process under the system temp folder, removed when the process ends normally.
const std::filesystem::path& scratchFolder();

// Removes everything inside the scratch folder.
void clearScratch();

void writeBytes(const std::filesystem::path& p, std::string_view bytes);
std::string readBytes(const std::filesystem::path& p);

class FixedClock final : public Clock {
public:
    LocalTime now() const override { return time; }
    LocalTime time{2006, 1, 1, 12, 30, 5};
};

// Keeps the message boxes; every other call answers "nothing chosen".
class QuietUi final : public UserInterface {
public:
    MsgAnswer messageBox(const std::string& text, MsgIcon, MsgButtons, MsgAnswer answer,
                         const std::string&) override {
        messages.push_back(text);
        return answer;
    }
    std::optional<std::string> chooseOpenFile(const FileDialogSpec&) override { return std::nullopt; }
    std::optional<std::string> chooseSaveFile(const FileDialogSpec&) override { return std::nullopt; }
    std::optional<std::string> chooseFolder(const std::string&) override { return std::nullopt; }
    std::string statusText() const override { return {}; }
    void setStatusText(const std::string&) override {}
    void repaintWindow(bool) override {}
    void setWaitCursor(bool) override {}
    void setProgress(int, int) override {}
    bool changeUse(bool) override { return true; }
    bool listSetFocus(const std::string&) override { return true; }
    void focusDestinationButton() override {}
    int currentTab() const override { return 1; }
    std::string tabCaption(int) const override { return {}; }
    bool logRefresh() override { return true; }
    void logRowRecorded(const CopyLogRow&, const std::string&) override {}

    std::vector<std::string> messages;
};

} // namespace kb::fuzz
