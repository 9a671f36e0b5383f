// SPDX-License-Identifier: MIT
#pragma once

#include <string_view>

// Numbers as a user types them: the whole text is the number, and the number is within its
// range, or it is not taken at all. One home for how every number option of the programs and
// every entry of a channel list is read. Nothing is logged here; the caller names what was
// refused.

// True when `text` is a whole decimal integer from `min` to `max` (an optional minus sign, then
// decimal digits only: no blank, no plus sign, no other base, nothing after), stored in
// `*value`. False, and `*value` untouched, for anything else.
[[nodiscard]] bool number_read_integer(std::string_view text, long long min, long long max,
                                       long long* value);

// True when `text` is a decimal number from `min` to `max` (digits with at most one decimal
// point, such as 10, 0.25 or .5: no sign, no exponent, no blank), stored in `*value`.
[[nodiscard]] bool number_read_decimal(std::string_view text, double min, double max,
                                       double* value);
