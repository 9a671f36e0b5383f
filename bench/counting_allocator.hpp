// SPDX-License-Identifier: MIT
#pragma once

// Linked into a benchmark, this counts every heap allocation the program makes (operator new
// and the C allocation functions, which the audio libraries use), so that a benchmark can show
// that the path it times allocates nothing.

#include <cstddef>

// Allocations made so far by the whole program.
std::size_t allocations_so_far();
