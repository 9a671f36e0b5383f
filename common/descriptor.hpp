// SPDX-License-Identifier: MIT
#pragma once

// Descriptor 0 stands for "nothing held" throughout this system. When standard input was
// closed by whoever started us, the system hands out 0 for the next socket or file; this
// moves such a descriptor above 0 (closing 0 again) and returns the new one, or -1.
// Any other value is returned unchanged.
[[nodiscard]] int descriptor_above_zero(int fd);
