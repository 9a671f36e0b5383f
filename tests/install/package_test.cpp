// SPDX-License-Identifier: MIT
// The Debian package that cpack builds from this build: its control fields, its files, its
// programs run from a scratch root, what lintian and hardening-check say of it, and what its
// maintainer scripts do with the receiver's unit.

#include <gtest/gtest.h>

#include <filesystem>
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

// The value of one control field, or empty.
std::string field(const std::string& deb, const std::string& name) {
    std::string out = tool("dpkg-deb", {"--field", deb, name}).out;
    return out.substr(0, out.find_last_not_of('\n') + 1);
}

bool installed(const std::string& package) {
    return tool("dpkg-query", {"--show", "--showformat=${Status}", package}).out ==
           "install ok installed";
}

// Builds the package into `dir`; its path, or empty after reporting cpack's failure.
std::string build_package(const temp_dir& dir) {
    run_result cpack = run({CPACK_COMMAND_PATH, "-G", "DEB", "--config",
                            build_dir + "/CPackConfig.cmake", "-B", dir.path()},
                           100s);
    EXPECT_EQ(cpack.exit_status, 0) << cpack.out << cpack.err;
    std::string architecture = tool("dpkg", {"--print-architecture"}).out;
    architecture.pop_back();
    return cpack.exit_status == 0 ? dir.file("vban-tools_2.1.0-1_" + architecture + ".deb") : "";
}

TEST(Package, DebianPackageBuildsInstallsAndRuns) {
    temp_dir dir;
    const std::string deb = build_package(dir);
    ASSERT_FALSE(deb.empty());
    std::string architecture = field(deb, "Architecture");

    run_result info = tool("dpkg-deb", {"--info", deb});
    ASSERT_EQ(info.exit_status, 0) << info.err;
    EXPECT_EQ(field(deb, "Package"), "vban-tools");
    EXPECT_EQ(field(deb, "Version"), "2.1.0-1");
    EXPECT_EQ(field(deb, "Section"), "sound");
    EXPECT_EQ(architecture + "\n", tool("dpkg", {"--print-architecture"}).out);
    EXPECT_NE(field(deb, "Maintainer").find('@'), std::string::npos);
    EXPECT_NE(field(deb, "Description").find("VBAN"), std::string::npos);
    // The ALSA, JACK and PulseAudio client libraries of the backends built, and every group of
    // alternatives names a package that this machine, where the programs were built, has
    // installed.
    std::string depends = field(deb, "Depends");
    EXPECT_EQ(depends.find("libasound2") != std::string::npos, VBAN_WITH_ALSA) << depends;
    EXPECT_EQ(depends.find("libjack") != std::string::npos, VBAN_WITH_JACK) << depends;
    EXPECT_EQ(depends.find("libpulse0") != std::string::npos, VBAN_WITH_PULSE) << depends;
    std::stringstream groups(depends);
    std::string group;
    while (std::getline(groups, group, ',')) {
        bool satisfied = false;
        std::stringstream alternatives(group);
        std::string alternative;
        while (std::getline(alternatives, alternative, '|')) {
            std::string name = normalized(alternative);
            satisfied = satisfied || installed(name.substr(0, name.find(' ')));
        }
        EXPECT_TRUE(satisfied) << group;
    }
    // Upgrades keep a changed environment file.
    EXPECT_EQ(tool("dpkg-deb", {"--info", deb, "conffiles"}).out, "/etc/default/dorvane\n");

    // Exactly these files, all owned by root; the programs executable by everyone.
    std::set<std::string> expected = {
        "./etc/default/dorvane", "./usr/lib/systemd/system/dorvane.service",
        "./usr/share/doc/vban-tools/copyright", "./usr/share/doc/vban-tools/changelog.Debian.gz",
        "./usr/share/lintian/overrides/vban-tools"};
    for (const program_entry& program : programs) {
        expected.insert("./usr/bin/" + program.name);
        expected.insert("./usr/share/man/man1/" + program.name + ".1.gz");
    }
    std::set<std::string> files;
    for (const std::string& line : split_lines(tool("dpkg-deb", {"--contents", deb}).out)) {
        std::stringstream words(line);
        std::string mode, owner, size, date, time, path;
        words >> mode >> owner >> size >> date >> time >> path;
        EXPECT_EQ(owner, "root/root") << line;
        if (mode[0] == '-') {
            files.insert(path);
            if (path.rfind("./usr/bin/", 0) == 0) {
                EXPECT_EQ(mode, "-rwxr-xr-x") << line;
            }
        }
    }
    EXPECT_EQ(files, expected);

    // Unpacked into a scratch root, the programs run, stripped of their debugging data.
    temp_dir root;
    run_result unpack = tool("dpkg", {"-x", deb, root.path()});
    ASSERT_EQ(unpack.exit_status, 0) << unpack.err;
    for (const program_entry& program : programs) {
        SCOPED_TRACE(program.name);
        std::string path = root.file("usr/bin/" + program.name);
        run_result help = run({path, "-h"}, 10s);
        EXPECT_EQ(help.exit_status, 1);
        EXPECT_NE(help.out.find("\nUsage: " + program.name + " [OPTIONS]"), std::string::npos);
        EXPECT_EQ(tool("readelf", {"--section-headers", path}).out.find(".debug_info"),
                  std::string::npos);
        EXPECT_TRUE(same_page(root.file("usr/share/man/man1/" + program.name + ".1.gz"),
                              source_dir + "/man/" + program.name + ".1"))
            << "installed page differs from its source";
    }
    test_support::udp_socket listener("127.0.0.1", 0);
    run_result sent = run({root.file("usr/bin/limmick"), "-i", "127.0.0.1", "-p",
                           std::to_string(listener.port()), "-s", "Talk", "hello"},
                          10s);
    EXPECT_EQ(sent.exit_status, 0) << sent.err;
    auto datagram = listener.receive(2s);
    ASSERT_TRUE(datagram.has_value());
    EXPECT_EQ(datagram->substr(28), "hello");

    EXPECT_EQ(read_file(root.file("usr/lib/systemd/system/dorvane.service")),
              read_file(source_dir + "/packaging/dorvane.service"));
    EXPECT_EQ(read_file(root.file("etc/default/dorvane")),
              read_file(source_dir + "/packaging/dorvane.default"));
}

// Debian's own checks: lintian finds no error (its warnings are for the maintainer to weigh),
// the copyright and changelog are where and how policy wants them, and every program carries
// the hardening of the package build. Control-flow protection is looked for in the code: the
// ELF note that hardening-check reads needs every object to carry it, and Debian 12's C
// start-up files do not.
TEST(Package, LintianFindsNoErrorAndTheProgramsAreHardened) {
    temp_dir dir;
    const std::string deb = build_package(dir);
    ASSERT_FALSE(deb.empty());
    // Lintian's status is not 0 when it finds an error.
    run_result lintian = tool("lintian", {"--no-cfg", deb}, {}, 300s);
    EXPECT_EQ(lintian.exit_status, 0) << lintian.out << lintian.err;

    temp_dir root;
    ASSERT_EQ(tool("dpkg", {"-x", deb, root.path()}).exit_status, 0);
    const std::string doc = root.file("usr/share/doc/vban-tools/");
    // The stanzas of Debian's machine-readable format, with the text of LICENSE, indented.
    std::string copyright = read_file(doc + "copyright");
    EXPECT_EQ(copyright.rfind("Format: https://www.debian.org/doc/packaging-manuals/", 0), 0u);
    EXPECT_NE(copyright.find("Files: *\nCopyright: 2026 The VBAN tools authors\nLicense: MIT\n\n"
                             "License: MIT\n Permission is hereby granted"),
              std::string::npos)
        << copyright;
    EXPECT_NE(copyright.find("\n .\n THE SOFTWARE IS PROVIDED"), std::string::npos);
    EXPECT_TRUE(copyright.ends_with("\n SOFTWARE.\n"));
    EXPECT_EQ(gunzip(doc + "changelog.Debian.gz").rfind("vban-tools (2.1.0-1) unstable;", 0), 0u);

    for (const program_entry& program : programs) {
        SCOPED_TRACE(program.name);
        std::string path = root.file("usr/bin/" + program.name);
        // Its status is 0 when PIE, stack protector, fortify, relro and bindnow are all found.
        run_result check = tool("hardening-check", {"--nocfprotection", path});
        EXPECT_EQ(check.exit_status, 0) << check.out << check.err;
        // Without -fcf-protection only the C start-up code's two functions begin with endbr64;
        // with it, main does too (the C library calls it through a pointer), and every function
        // whose address is taken. Optimised across the program, limmick has no other.
        std::string code = tool("objdump", {"--disassemble", path}).out;
        std::size_t landing_pads = 0;
        for (std::size_t at = code.find("endbr64"); at != std::string::npos;
             at = code.find("endbr64", at + 1)) {
            ++landing_pads;
        }
        EXPECT_GT(landing_pads, 2u);
    }
}

// The maintainer scripts, run with recording stand-ins for deb-systemd-helper,
// deb-systemd-invoke and systemctl, make the calls of dh_installsystemd's scripts: a new
// installation enables the unit without starting it, a unit the admin disabled stays so, an
// upgrade restarts a running receiver, a removal stops it and a purge leaves nothing behind.
// Calls on the running systemd happen only where it runs (/run/systemd/system).
TEST(Package, MaintainerScriptsHandleTheUnitAsDebhelperDoes) {
    temp_dir dir;
    const std::string deb = build_package(dir);
    ASSERT_FALSE(deb.empty());
    const std::string control = dir.file("control");
    ASSERT_EQ(tool("dpkg-deb", {"--control", deb, control}).exit_status, 0);
    const std::string stubs = dir.file("stubs");
    std::filesystem::create_directory(stubs);
    for (const char* name : {"deb-systemd-helper", "deb-systemd-invoke", "systemctl"}) {
        test_support::write_file(stubs + "/" + name,
                                 "#!/bin/sh\n"
                                 "echo \"${0##*/} $*\" >>\"$CALLS\"\n"
                                 "[ \"$1 $2\" != \"--quiet was-enabled\" ] || exit $WAS_ENABLED\n");
        std::filesystem::permissions(stubs + "/" + name, std::filesystem::perms::owner_all);
    }
    const bool systemd = std::filesystem::exists("/run/systemd/system");
    const std::string reload = systemd ? "systemctl --system daemon-reload\n" : "";
    auto calls = [&](const std::string& script, std::vector<std::string> args,
                     const std::string& was_enabled = "0") {
        const std::string log = dir.file("calls");
        std::filesystem::remove(log);
        args.insert(args.begin(), control + "/" + script);
        run_result r = run(args, 10s,
                           {"PATH=" + stubs + ":/usr/sbin:/usr/bin:/sbin:/bin", "CALLS=" + log,
                            "WAS_ENABLED=" + was_enabled});
        EXPECT_EQ(r.exit_status, 0) << script << r.err;
        return read_file(log);
    };
    const std::string unit = " dorvane.service\n";
    const std::string unmask = "deb-systemd-helper unmask" + unit;
    const std::string asked = "deb-systemd-helper --quiet was-enabled" + unit;

    EXPECT_EQ(calls("postinst", {"configure"}),
              unmask + asked + "deb-systemd-helper enable" + unit + reload);
    EXPECT_EQ(calls("postinst", {"configure", "2.0.0-1"}, "1"),
              unmask + asked + "deb-systemd-helper update-state" + unit + reload +
                  (systemd ? "deb-systemd-invoke try-restart" + unit : ""));
    EXPECT_EQ(calls("prerm", {"upgrade", "2.1.0-1"}), "");
    EXPECT_EQ(calls("prerm", {"remove"}), systemd ? "deb-systemd-invoke stop" + unit : "");
    EXPECT_EQ(calls("postrm", {"remove"}), reload);
    EXPECT_EQ(calls("postrm", {"purge"}), "deb-systemd-helper purge" + unit + unmask);
}

}  // namespace
