// What the tests may reach beyond the wiiuse API.
#ifndef WIIUSE_INTERNAL_H
#define WIIUSE_INTERNAL_H

#include <string>

namespace wiiuse_linux {

// Where the library looks for sysfs and device nodes ("/sys", "/dev").
void useRoots(const std::string &sysRoot, const std::string &devRoot);

// Drops every group, closing their remotes; records handed out are freed.
void forgetAll();

} // namespace wiiuse_linux

#endif
