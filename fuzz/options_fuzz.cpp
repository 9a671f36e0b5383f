// SPDX-License-Identifier: MIT
// A program's command line, as the argument vector main receives: the input is cut at NUL
// bytes into arguments. Built once per program.

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "common/logger.hpp"

#if defined(FUZZ_QUELLOR)
#include "programs/quellor/emitter_options.hpp"
using options = emitter_config;
#elif defined(FUZZ_DORVANE)
#include "programs/dorvane/receptor_options.hpp"
using options = receptor_config;
#else
#include "programs/limmick/text_sender_options.hpp"
using options = text_sender_config;
#endif

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> words = {"program"};
    std::string current;
    for (std::size_t i = 0; i < size && words.size() < 64; ++i) {
        if (data[i] == 0) {
            words.push_back(current);
            current.clear();
        } else {
            current += static_cast<char>(data[i]);
        }
    }
    words.push_back(current);
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);

    options config{};
    int result = get_options(&config, static_cast<int>(words.size()), argv.data());
    logger_set_level(LOG_ERROR);  // -l lasts for the process; every input starts afresh
    std::fflush(stdout);
    if (result != 0 && result != 1 && result != OPTIONS_VERSION_ASKED) {
        __builtin_trap();
    }
    return 0;
}
