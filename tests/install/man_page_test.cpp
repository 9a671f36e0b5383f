// SPDX-License-Identifier: MIT
// The manual pages render without warnings, and what they say about the command lines and the
// exit statuses is what the programs really do.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "tests/install/install_support.hpp"
#include "tests/program_test_support.hpp"
#include "tests/support/network_namespace.hpp"
#include "tests/support/udp.hpp"
#include "tests/support/vban_packets.hpp"

namespace {

using namespace install_test;
using test_support::run;
using test_support::run_result;

std::string page_of(const std::string& name) {
    return source_dir + "/man/" + name + ".1";
}

TEST(ManPages, RenderWithoutWarnings) {
    const std::vector<std::string> headings = {"NAME",    "SYNOPSIS",    "DESCRIPTION",
                                               "OPTIONS", "EXIT STATUS", "EXAMPLES",
                                               "NOTES",   "SEE ALSO"};
    for (const program_entry& program : programs) {
        SCOPED_TRACE(program.name);
        std::string page = page_of(program.name);
        run_result groff = tool("groff", {"-ww", "-man", "-Tutf8", page});
        EXPECT_EQ(groff.exit_status, 0);
        EXPECT_EQ(groff.err, "");

        run_result man = tool("man", {"--warnings", "-l", page}, {"MANWIDTH=80"});
        EXPECT_EQ(man.exit_status, 0);
        EXPECT_EQ(man.err, "");
        std::vector<std::string> lines = split_lines(man.out);
        for (const std::string& heading : headings) {
            EXPECT_NE(std::find(lines.begin(), lines.end(), heading), lines.end()) << heading;
        }

        // The NAME line is what mandb files for whatis and apropos.
        run_result whatis = tool("lexgrog", {page});
        EXPECT_EQ(whatis.exit_status, 0);
        EXPECT_EQ(whatis.out.rfind(page + ": \"" + program.name + " - ", 0), 0u) << whatis.out;
    }
}

// Every option line of the usage text stands in the OPTIONS section, in the same order, with
// its text word for word (the defaults included), and the section has no other option.
// The synopsis and the examples name only options the program has.
TEST(ManPages, OptionsAreThoseOfTheUsageText) {
    for (const program_entry& program : programs) {
        SCOPED_TRACE(program.name);
        run_result help = run({program.built, "-h"}, 10s);
        ASSERT_EQ(help.exit_status, 1);
        std::vector<usage_option> usage = usage_options(help.out);
        ASSERT_GE(usage.size(), 8u);
        // The pages describe the full build; a build without ALSA, JACK or PulseAudio lists
        // fewer backends.
        const std::string built = program_test::backends_help();
        for (usage_option& option : usage) {
            if (std::size_t at = option.text.find(built); at != std::string::npos) {
                option.text.replace(at, built.size(),
                                    program_test::backends_help(true, true, true));
            }
        }

        run_result page = render_unfilled(page_of(program.name));
        ASSERT_EQ(page.exit_status, 0) << page.err;
        std::vector<usage_option> listed;
        std::vector<std::string> options = section(page.out, "OPTIONS");
        for (std::size_t i = 0; i < options.size(); ++i) {
            std::string tag = normalized(options[i]);
            if (std::regex_match(tag, option_flags)) {
                std::string text = i + 1 < options.size() ? normalized(options[i + 1]) : "";
                listed.push_back({tag, text});
            }
        }
        EXPECT_EQ(listed, usage);

        std::set<std::string> known;
        // The short and the long form of each option ("-i" and "--ipaddress").
        auto forms = [](const std::string& flags) {
            const std::size_t long_form = flags.find("--");
            std::vector<std::string> result = {
                flags.substr(long_form, flags.find('=') - long_form)};
            if (long_form != 0) {
                result.push_back(flags.substr(0, 2));
            }
            return result;
        };
        for (const usage_option& option : usage) {
            for (const std::string& form : forms(option.flags)) {
                known.insert(form);
            }
        }
        // Each option of the usage text is in the synopsis, except a deprecated one.
        std::set<std::string> in_synopsis;
        for (const std::string& line : section(page.out, "SYNOPSIS")) {
            std::stringstream words(line);
            std::string word;
            while (words >> word) {
                word = word.substr(word.find_first_not_of('['));
                word = word.substr(0, word.find(']'));  // "[--bit-exact]"
                if (word.size() >= 2 && word[0] == '-') {
                    EXPECT_TRUE(known.count(word)) << word;
                    in_synopsis.insert(word);
                }
            }
        }
        for (const usage_option& option : usage) {
            if (option.text.find("DEPRECATED") == std::string::npos) {
                EXPECT_TRUE(in_synopsis.count(forms(option.flags).back())) << option.flags;
            }
        }
        // Command lines of the examples, up to a pipe or a redirection.
        int commands = 0;
        for (const std::string& line : section(page.out, "EXAMPLES")) {
            std::stringstream words(line);
            std::string word;
            words >> word;
            if (word != program.name) {
                continue;
            }
            ++commands;
            while (words >> word && word[0] != '|' && word[0] != '&' && word[0] != '>') {
                if (word.size() >= 2 && word[0] == '-') {
                    EXPECT_TRUE(known.count(word.substr(0, word.find('=')))) << line;
                }
            }
        }
        EXPECT_GE(commands, 3);
    }
}

// The numbers that the EXIT STATUS section gives as tags.
std::set<std::string> status_tags(const std::string& name) {
    std::set<std::string> tags;
    run_result page = render_unfilled(page_of(name));
    for (const std::string& line : section(page.out, "EXIT STATUS")) {
        // A tag starts at the section's indentation; its paragraph follows on the same line.
        // Paragraphs at the same indentation start with a word.
        static const std::regex tag{R"( {7}([0-9]+|256-n|n) .*)"};
        std::smatch match;
        if (std::regex_match(line, match, tag)) {
            tags.insert(match[1]);
        }
    }
    return tags;
}

// dorvane on a fresh port with `options`, fed one audio packet once it listens; its status.
int dorvane_after_one_packet(const std::vector<std::string>& options) {
    std::uint16_t port = test_support::free_udp_port();
    std::vector<std::string> args = {DORVANE_PATH,         "-i", "127.0.0.1", "-p",
                                     std::to_string(port), "-s", "Stream1"};
    args.insert(args.end(), options.begin(), options.end());
    test_support::background_process receiver(args, "", "");
    if (!test_support::wait_until_udp_port_bound(port, 5s)) {
        return -1;
    }
    test_support::udp_socket peer("127.0.0.1", 0);
    peer.send_to(
        "127.0.0.1", port,
        test_support::audio_packet("Stream1", {2, 44100, 1}, test_support::pattern(1024, 3)));
    return receiver.wait_for_exit(5s);
}

// Each status the programs are made to give here is documented under its number (or as
// 256-n, or as n for a system error number), and the page documents no other number except
// 244, which only an exhausted memory gives, and dorvane's 221, which only a stuck JACK
// library gives (the JACK tests provoke it).
TEST(ManPages, ExitStatusesAreTheRealOnes) {
    test_support::udp_socket listener("127.0.0.1", 0);
    const std::string port = std::to_string(listener.port());
    const std::vector<std::string> to_listener = {"-i", "127.0.0.1", "-p", port, "-s", "Stream1"};
    auto quellor = [&](std::vector<std::string> options) {
        std::vector<std::string> args = {QUELLOR_PATH};
        args.insert(args.end(), to_listener.begin(), to_listener.end());
        args.insert(args.end(), options.begin(), options.end());
        return run(args, 10s).exit_status;
    };
    auto limmick = [&](std::vector<std::string> options) {
        std::vector<std::string> args = {LIMMICK_PATH, "-p", port, "-s", "Talk"};
        args.insert(args.end(), options.begin(), options.end());
        return run(args, 10s).exit_status;
    };

    // program -> (status given, status expected)
    std::map<std::string, std::vector<std::pair<int, int>>> seen;
    seen["quellor"] = {
        {quellor({"-h"}), 1},
        {quellor({"-b", "file", "-d", "/dev/null"}), 0},  // the end of the input
        {quellor({"-b", "nosuch"}), 237},
        {quellor({"-b", "file", "-d", "/tmp"}), 255},  // a failed read
        {quellor({"-b", "file", "-d", "/dev/zero", "-r", "44000"}), 234},
        {quellor({"-b", "file", "-d", "/nonexistent/input.raw"}), 254},
    };
    test_support::udp_socket holder("127.0.0.1", 0);
    seen["dorvane"] = {
        {run({DORVANE_PATH, "--version"}, 10s).exit_status, 0},
        {run({DORVANE_PATH, "-h"}, 10s).exit_status, 1},
        {run({DORVANE_PATH, "-i", "127.0.0.1", "-p", std::to_string(test_support::free_udp_port()),
              "-s", "S", "-b", "nosuch"},
             10s)
             .exit_status,
         237},
        {dorvane_after_one_packet({"-b", "file", "-d", "/dev/full"}), 255},
        {run({DORVANE_PATH, "-i", "127.0.0.1", "-p", std::to_string(holder.port()), "-s", "S"}, 10s)
             .exit_status,
         98},
    };
    seen["limmick"] = {
        {limmick({"-i", "127.0.0.1", "hello"}), 0},
        {limmick({"-h"}), 1},
        {limmick({"-i", "999.1.1.1", "hello"}), 1},
    };
    // A send that fails: no network at all (the only link is down).
    if (auto status = test_support::in_network_namespace([&] {
            return std::to_string(limmick({"-i", "127.0.0.1", "hello"}));
        })) {
        seen["limmick"].push_back({std::stoi(*status), 255});
    } else {
        seen["limmick"].push_back({255, 255});  // needs root; documented all the same
    }

    for (const auto& [name, statuses] : seen) {
        SCOPED_TRACE(name);
        std::set<std::string> tags = status_tags(name);
        std::set<std::string> numbers = {"244"};
        if (name == "dorvane") {
            numbers.insert("221");
        }
        for (const auto& [status, expected] : statuses) {
            EXPECT_EQ(status, expected);
            if (status == 254) {
                EXPECT_TRUE(tags.count("256-n"));
            } else if (status == 98) {
                EXPECT_TRUE(tags.count("n"));
            } else {
                numbers.insert(std::to_string(status));
            }
        }
        tags.erase("256-n");
        tags.erase("n");
        EXPECT_EQ(tags, numbers);
    }
}

}  // namespace
