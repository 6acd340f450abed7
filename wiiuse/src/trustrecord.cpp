#include "trustrecord.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace wiiuse_linux {

namespace {

std::string directory()
{
	const char *state = std::getenv("XDG_STATE_HOME");
	if (state && *state == '/')
		return std::string(state) + "/hitcheck";
	const char *home = std::getenv("HOME");
	return home && *home == '/' ? std::string(home) + "/.local/state/hitcheck" : "";
}

// Makes each missing directory of `dir`, the last the user's alone.
bool makeDirectories(const std::string &dir)
{
	for (size_t slash = dir.find('/', 1);; slash = dir.find('/', slash + 1)) {
		std::string part = dir.substr(0, slash);
		if (mkdir(part.c_str(), slash == std::string::npos ? 0700 : 0755) < 0 && errno != EEXIST)
			return false;
		if (slash == std::string::npos)
			return true;
	}
}

} // namespace

TrustRecord readTrustRecord()
{
	TrustRecord r;
	std::string dir = directory();
	if (dir.empty())
		return r;
	r.path = dir + "/trusted";
	std::ifstream in(r.path);
	if (!in)
		return r;
	r.read = true;
	for (std::string line; std::getline(in, line);)
		if (line.size() == 17)
			r.addresses.insert(line);
	return r;
}

bool writeTrustRecord(TrustRecord &r)
{
	if (r.path.empty() || !makeDirectories(r.path.substr(0, r.path.rfind('/'))))
		return false;
	std::string aside = r.path + ".new";
	{
		std::ofstream out(aside, std::ios::trunc);
		for (const std::string &a : r.addresses)
			out << a << '\n';
		if (!out.flush())
			return false;
	}
	if (std::rename(aside.c_str(), r.path.c_str()) < 0) {
		unlink(aside.c_str());
		return false;
	}
	r.read = true;
	return true;
}

} // namespace wiiuse_linux
