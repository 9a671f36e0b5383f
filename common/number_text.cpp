// SPDX-License-Identifier: MIT
#include "common/number_text.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

// strtoll and strtod need a terminated text; no number worth reading is longer than this.
constexpr std::size_t longest_text = 63;

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// Converts `text` whole with `convert` (strtoll or strtod, which need a terminated text) and
// stores it when nothing is left over, nothing overflowed and it lies from `min` to `max`.
template <typename T, typename Convert>
bool convert_within(std::string_view text, T min, T max, T* value, Convert convert) {
    if (text.size() > longest_text) {
        return false;
    }
    char copy[longest_text + 1];
    std::memcpy(copy, text.data(), text.size());
    copy[text.size()] = '\0';
    char* end = nullptr;
    errno = 0;
    const T parsed = convert(copy, &end);
    if (errno != 0 || *end != '\0' || !(parsed >= min && parsed <= max)) {
        return false;
    }
    *value = parsed;
    return true;
}

}  // namespace

bool number_read_integer(std::string_view text, long long min, long long max, long long* value) {
    // strtoll alone would skip blanks and take a plus sign, "0x" or a trailing "abc".
    const std::size_t first = !text.empty() && text[0] == '-' ? 1 : 0;
    if (text.size() == first) {
        return false;
    }
    for (std::size_t i = first; i < text.size(); ++i) {
        if (!is_digit(text[i])) {
            return false;
        }
    }
    return convert_within(text, min, max, value,
                          [](const char* copy, char** end) { return std::strtoll(copy, end, 10); });
}

bool number_read_decimal(std::string_view text, double min, double max, double* value) {
    // strtod alone would also take "inf", "nan", "1e3" and hexadecimal fractions.
    std::size_t digits = 0;
    std::size_t points = 0;
    for (char c : text) {
        digits += is_digit(c) ? 1 : 0;
        points += c == '.' ? 1 : 0;
    }
    if (digits == 0 || points > 1 || digits + points != text.size()) {
        return false;
    }
    return convert_within(text, min, max, value,
                          [](const char* copy, char** end) { return std::strtod(copy, end); });
}
