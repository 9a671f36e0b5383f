// SPDX-License-Identifier: MIT
#pragma once

// What the installation, manual page, package and recipe tests share: finding system tools,
// and reading rendered manual pages.

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <ostream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/process.hpp"

namespace install_test {

using namespace std::chrono_literals;

inline const std::string source_dir = SOURCE_DIR;
inline const std::string build_dir = BUILD_DIR;

struct program_entry {
    std::string name;
    std::string built;  // the program in the build tree
};

inline const std::vector<program_entry> programs = {
    {"quellor", QUELLOR_PATH}, {"dorvane", DORVANE_PATH}, {"limmick", LIMMICK_PATH}};

// The full path of `name` found on PATH, or empty.
inline std::string find_tool(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::stringstream folders(path != nullptr ? path : "/usr/bin:/bin");
    std::string folder;
    while (std::getline(folders, folder, ':')) {
        std::filesystem::path candidate = std::filesystem::path(folder) / name;
        if (!folder.empty() && access(candidate.c_str(), X_OK) == 0) {
            return candidate.string();
        }
    }
    return "";
}

// Runs a system tool by name.
inline test_support::run_result tool(const std::string& name, std::vector<std::string> args,
                                     const std::vector<std::string>& env = {},
                                     std::chrono::milliseconds timeout = 60s) {
    std::string path = find_tool(name);
    if (path.empty()) {
        test_support::run_result missing;
        missing.err = name + " is not installed";
        return missing;
    }
    args.insert(args.begin(), path);
    return test_support::run(args, timeout, env);
}

inline std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::stringstream stream(text);
    std::string line;
    while (std::getline(stream, line)) {
        lines.push_back(line);
    }
    return lines;
}

// `text` with its blanks gathered into single spaces and none at either end.
inline std::string normalized(const std::string& text) {
    std::string result;
    std::stringstream words(text);
    std::string word;
    while (words >> word) {
        result += (result.empty() ? "" : " ") + word;
    }
    return result;
}

// Every regular file under `root`, as paths relative to it.
inline std::set<std::string> files_under(const std::string& root) {
    std::set<std::string> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        if (entry.is_regular_file()) {
            files.insert(std::filesystem::relative(entry.path(), root).string());
        }
    }
    return files;
}

// The decompressed content of a gzip file.
inline std::string gunzip(const std::string& path) {
    return tool("gzip", {"-d", "-c", path}).out;
}

// True when the gzip file `compressed` holds exactly the file `plain`.
inline bool same_page(const std::string& compressed, const std::string& plain) {
    return gunzip(compressed) == test_support::read_file(plain);
}

// The lines of one section of a page rendered as plain text: from the heading `name` to the
// next heading (a line that starts in the first column).
inline std::vector<std::string> section(const std::string& rendered, const std::string& name) {
    std::vector<std::string> lines;
    bool inside = false;
    for (const std::string& line : split_lines(rendered)) {
        bool heading = !line.empty() && line[0] != ' ';
        if (heading) {
            inside = line == name;
        } else if (inside) {
            lines.push_back(line);
        }
    }
    return lines;
}

// A page as plain text without line filling: each paragraph and each tagged paragraph's body
// on one line, so that texts can be compared whole.
inline test_support::run_result render_unfilled(const std::string& page) {
    return tool("groff", {"-man", "-Tutf8", "-rLL=3000n", "-P-cbou", page});
}

// One option line of a usage text: "-i, --ipaddress=IP" and what follows the colon.
struct usage_option {
    std::string flags;  // "-i, --ipaddress=IP"
    std::string text;
    bool operator==(const usage_option&) const = default;
    friend std::ostream& operator<<(std::ostream& out, const usage_option& option) {
        return out << '"' << option.flags << " : " << option.text << '"';
    }
};

// "-i, --ipaddress=IP", or a long option alone: "--latency=MS".
inline const std::regex option_flags{R"((-[A-Za-z], )?--[a-z-]+(=[A-Z]+)?)"};

// The option lines of what `program -h` prints, in order.
inline std::vector<usage_option> usage_options(const std::string& usage) {
    static const std::regex line{R"( *((?:-[A-Za-z], )?--[a-z-]+(?:=[A-Z]+)?) +: (.*))"};
    std::vector<usage_option> options;
    for (const std::string& text : split_lines(usage)) {
        std::smatch match;
        if (std::regex_match(text, match, line)) {
            options.push_back({match[1], normalized(match[2])});
        }
    }
    return options;
}

}  // namespace install_test
