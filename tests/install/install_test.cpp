// SPDX-License-Identifier: MIT
// `cmake --install` of this build into a fresh prefix, and the receiver's service unit.

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "tests/install/install_support.hpp"
#include "tests/support/udp.hpp"

namespace {

using namespace install_test;
using test_support::read_file;
using test_support::run;
using test_support::run_result;
using test_support::temp_dir;

// What `program -h` prints after its version line, whose first word is the invocation name.
std::string usage_of(const std::string& path) {
    std::string out = run({path, "-h"}, 10s).out;
    return out.substr(out.find('\n') + 1);
}

TEST(Install, ProgramsAndManualPagesGoUnderThePrefix) {
    temp_dir prefix;
    run_result install =
        run({CMAKE_COMMAND_PATH, "--install", build_dir, "--prefix", prefix.path()}, 60s);
    ASSERT_EQ(install.exit_status, 0) << install.err;

    // These files and nothing else: no libraries, test tools or files outside the prefix.
    std::set<std::string> expected = {"share/doc/vban-tools/examples/dorvane.service",
                                      "share/doc/vban-tools/examples/dorvane.default"};
    for (const program_entry& program : programs) {
        expected.insert("bin/" + program.name);
        expected.insert("share/man/man1/" + program.name + ".1.gz");
    }
    EXPECT_EQ(files_under(prefix.path()), expected);

    for (const program_entry& program : programs) {
        SCOPED_TRACE(program.name);
        std::string installed = prefix.file("bin/" + program.name);
        run_result help = run({installed, "-h"}, 10s);
        EXPECT_EQ(help.exit_status, 1);
        std::string version = help.out.substr(0, help.out.find('\n'));
        EXPECT_TRUE(version.ends_with(" version 2.1.0")) << version;
        EXPECT_NE(help.out.find("\nUsage: " + program.name + " [OPTIONS]"), std::string::npos);
        EXPECT_EQ(usage_of(installed), usage_of(program.built));
        EXPECT_TRUE(same_page(prefix.file("share/man/man1/" + program.name + ".1.gz"),
                              source_dir + "/man/" + program.name + ".1"))
            << "installed page differs from its source";
    }

    // man finds the installed page by name once the prefix is on its path.
    run_result man = tool("man", {"-P", "cat", "quellor"},
                          {"MANPATH=" + prefix.file("share/man"), "MANWIDTH=80"});
    EXPECT_EQ(man.exit_status, 0) << man.err;
    EXPECT_EQ(man.out.rfind("QUELLOR(1)", 0), 0u);
    EXPECT_NE(man.out.find("-i, --ipaddress=IP"), std::string::npos);
}

// The unit's keys, section by section; a key given twice keeps every value.
using unit_keys = std::map<std::string, std::multimap<std::string, std::string>>;

unit_keys parse_unit(const std::string& text) {
    unit_keys keys;
    std::string current;
    for (const std::string& line : split_lines(text)) {
        if (line.empty() || line[0] == '#' || line[0] == ';') {
            continue;
        }
        if (line[0] == '[') {
            current = line.substr(1, line.find(']') - 1);
            continue;
        }
        std::size_t equals = line.find('=');
        keys[current].emplace(line.substr(0, equals), line.substr(equals + 1));
    }
    return keys;
}

std::string value(const unit_keys& keys, const std::string& section, const std::string& key) {
    auto found = keys.find(section);
    if (found == keys.end() || found->second.count(key) != 1) {
        return "<" + key + " not set once>";
    }
    return found->second.find(key)->second;
}

// The options line of the environment file, as systemd and a shell read it.
std::vector<std::string> default_options() {
    for (const std::string& line :
         split_lines(read_file(source_dir + "/packaging/dorvane.default"))) {
        if (line.rfind("DORVANE_OPTIONS=\"", 0) == 0 && line.back() == '"') {
            std::string value = line.substr(17, line.size() - 18);
            std::vector<std::string> words;
            std::stringstream stream(value);
            std::string word;
            while (stream >> word) {
                words.push_back(word);
            }
            return words;
        }
    }
    return {};
}

TEST(Service, UnitRunsDorvaneRestartedAndUnprivilegedWithTheSoundDevices) {
    const std::string unit_path = source_dir + "/packaging/dorvane.service";
    const std::string unit = read_file(unit_path);
    unit_keys keys = parse_unit(unit);

    EXPECT_EQ(value(keys, "Service", "ExecStart"), "/usr/bin/dorvane $DORVANE_OPTIONS");
    EXPECT_EQ(value(keys, "Service", "EnvironmentFile"), "/etc/default/dorvane");
    EXPECT_EQ(value(keys, "Service", "Restart"), "on-failure");
    EXPECT_EQ(value(keys, "Service", "RestartPreventExitStatus"), "1");
    EXPECT_EQ(value(keys, "Service", "DynamicUser"), "yes");
    EXPECT_EQ(value(keys, "Service", "SupplementaryGroups"), "audio");
    EXPECT_EQ(value(keys, "Install", "WantedBy"), "multi-user.target");
    // ALSA's device nodes stay reachable: no private /dev, and a closed device policy lets
    // ALSA's nodes through. UDP and the local sockets of JACK and of ALSA plugins are allowed.
    EXPECT_EQ(keys["Service"].count("PrivateDevices"), 0u);
    EXPECT_EQ(value(keys, "Service", "DevicePolicy"), "closed");
    EXPECT_EQ(value(keys, "Service", "DeviceAllow"), "char-alsa rw");
    EXPECT_EQ(value(keys, "Service", "RestrictAddressFamilies"), "AF_INET AF_UNIX");

    std::string analyze = find_tool("systemd-analyze");
    if (!analyze.empty()) {
        // systemd checks every key, that the program exists and that the manual page of
        // Documentation= opens: the copy names the built program in place of
        // /usr/bin/dorvane, nothing else changes, and man looks in a folder with our page.
        temp_dir dir;
        std::string copy = unit;
        copy.replace(copy.find("/usr/bin/dorvane"), 16, DORVANE_PATH);
        test_support::write_file(dir.file("dorvane.service"), copy);
        std::filesystem::create_directory(dir.file("man1"));
        std::filesystem::copy_file(source_dir + "/man/dorvane.1", dir.file("man1/dorvane.1"));
        run_result verify =
            run({analyze, "verify", dir.file("dorvane.service")}, 60s, {"MANPATH=" + dir.path()});
        EXPECT_EQ(verify.exit_status, 0) << verify.err;
        EXPECT_EQ(verify.err, "");
    }

    // The example options are a command line dorvane accepts: with the port and the output
    // replaced (an option given twice keeps its last value), it starts and listens.
    std::vector<std::string> options = default_options();
    ASSERT_FALSE(options.empty());
    for (const char* mandatory : {"-i", "-p", "-s"}) {
        EXPECT_NE(std::find(options.begin(), options.end(), mandatory), options.end());
    }
    std::uint16_t port = test_support::free_udp_port();
    std::vector<std::string> args = {DORVANE_PATH};
    args.insert(args.end(), options.begin(), options.end());
    args.insert(args.end(), {"-p", std::to_string(port), "-b", "file", "-d", "/dev/null"});
    test_support::background_process receiver(args, "", "");
    EXPECT_TRUE(test_support::wait_until_udp_port_bound(port, 5s));
    EXPECT_TRUE(receiver.running());
}

}  // namespace
