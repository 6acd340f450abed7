// Linked into a test build of hitcheck: the library looks for the remotes
// in the tree that HITCHECK_TEST_ROOT names, made by the test, instead of
// the machine's own /sys and /dev.
#include "internal.h"

#include <cstdlib>

namespace {

const bool kRooted = [] {
	if (const char *root = std::getenv("HITCHECK_TEST_ROOT"))
		wiiuse_linux::useRoots(std::string(root) + "/sys", std::string(root) + "/dev");
	return true;
}();

} // namespace
