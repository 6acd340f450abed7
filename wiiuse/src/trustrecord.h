// The devices the library has trusted, by address, in a file of the user's
// ($XDG_STATE_HOME/hitcheck/trusted, or ~/.local/state/hitcheck/trusted):
// each is judged anew at every search, and loses its trust once it no
// longer presents itself as a remote.
#ifndef WIIUSE_TRUSTRECORD_H
#define WIIUSE_TRUSTRECORD_H

#include <set>
#include <string>

namespace wiiuse_linux {

struct TrustRecord {
	std::string path;   // empty: no home to keep it in
	bool read = false;  // the file was there and could be read
	std::set<std::string> addresses; // as BlueZ writes them
};

TrustRecord readTrustRecord();

// Writes it anew, whole (a file written aside, then renamed over it). False
// when it could not be.
bool writeTrustRecord(TrustRecord &record);

} // namespace wiiuse_linux

#endif
