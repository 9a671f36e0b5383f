// SPDX-License-Identifier: MIT
#pragma once

#include <functional>
#include <optional>
#include <string>

// A network of the test's own, to take away and give back: a child process in a new network
// namespace, whose only interface is its loopback, down at the start. Programs started there
// share it; nothing outside sees it.
namespace test_support {

// Runs `scenario` in a child process in a new network namespace and returns what it returned
// (empty for success, else what went wrong); nothing when namespaces cannot be made here (not
// root), so that the caller can skip.
std::optional<std::string> in_network_namespace(const std::function<std::string()>& scenario);

// Brings the namespace's loopback interface up or down, and gives it `mtu` bytes (0: as it
// is); false when the system refuses.
bool set_loopback_up(bool up, int mtu = 0);

}  // namespace test_support
