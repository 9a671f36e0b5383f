// The Debian package that cpack builds from this build: its control fields, its files, and its
// programs run from a scratch root.

#include <gtest/gtest.h>

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

TEST(Package, DebianPackageBuildsInstallsAndRuns) {
    temp_dir dir;
    run_result cpack = run({CPACK_COMMAND_PATH, "-G", "DEB", "--config",
                            build_dir + "/CPackConfig.cmake", "-B", dir.path()},
                           100s);
    ASSERT_EQ(cpack.exit_status, 0) << cpack.out << cpack.err;
    std::string architecture = tool("dpkg", {"--print-architecture"}).out;
    architecture.pop_back();
    const std::string deb = dir.file("vban-tools_2.1.0-1_" + architecture + ".deb");

    run_result info = tool("dpkg-deb", {"--info", deb});
    ASSERT_EQ(info.exit_status, 0) << info.err;
    EXPECT_EQ(field(deb, "Package"), "vban-tools");
    EXPECT_EQ(field(deb, "Version"), "2.1.0-1");
    EXPECT_EQ(field(deb, "Section"), "sound");
    EXPECT_EQ(field(deb, "Architecture"), architecture);
    EXPECT_NE(field(deb, "Maintainer").find('@'), std::string::npos);
    EXPECT_NE(field(deb, "Description").find("VBAN"), std::string::npos);
    // The ALSA and JACK client libraries of the backends built, and every group of
    // alternatives names a package that this machine, where the programs were built, has
    // installed.
    std::string depends = field(deb, "Depends");
    EXPECT_EQ(depends.find("libasound2") != std::string::npos, VBAN_WITH_ALSA) << depends;
    EXPECT_EQ(depends.find("libjack") != std::string::npos, VBAN_WITH_JACK) << depends;
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
    std::set<std::string> expected = {"./etc/default/dorvane",
                                      "./usr/lib/systemd/system/dorvane.service"};
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

}  // namespace
