// Every remote of the process, owned in one place: its record, its state,
// and the one time it next needs work of its own.
#ifndef WIIUSE_HUB_H
#define WIIUSE_HUB_H

#include "clock.h"
#include "leds.h"
#include "node.h"
#include "opener.h"
#include "search.h"
#include "translate.h"

#include <wiiuse.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

namespace wiiuse_linux {

// A connected remote's extension is looked at at least this often; reading
// it asks nothing of the remote. The battery is what its last status
// report on the raw node said (each answer to a request of the library's
// or the driver's carries it), never the driver's `capacity`, whose
// reading waits for the remote. A remote that went
// away is looked for in sysfs as often, and once bound again, more often
// while udev sets it up and while it is asked whether it is there.
constexpr auto kLookEvery = std::chrono::seconds(1);
constexpr Ms kSettleEvery{100};
// A camera whose set-up failed (the remote answered late, or otherwise) is
// tried again soon, three times in all: the kernel's own wait for each
// answer already spaces the tries that reached the remote.
constexpr Ms kCameraRetry{200};
constexpr int kCameraTries = 3;

// Where a slot's remote stands.
enum class Link {
	Absent,    // none found, or it cannot come back: nothing to do
	Connected, // its nodes open: read as input comes; asked when quiet
	Silent,    // still bound, it stopped answering: asked until it does
	Lost,      // gone from the driver (or never found): looked for in sysfs
	Settling,  // bound again, being set up by udev or asked: looked at again
};

struct Remote {
	wiimote_t rec{}; // the record the program sees
	Link link = Link::Absent;
	Bound bound;  // what the search found (where.id empty: nothing)
	Bound coming; // while lost: the same remote bound anew
	Node core, ir;
	Opener camera;            // its infrared node being opened: the camera set up
	int cameraTries = 0;      // set-ups tried since the camera was asked for
	Time cameraRetryAt = kNever;
	Pending pending;
	std::string extension;
	Time lookedAt;           // sysfs last looked at for it
	bool cameraBack = false; // its camera was on when it went
	bool vacant = false;     // left empty by its search: any remote bound later, not another slot's, is taken
	std::set<std::string> silent; // while vacant: bound remotes found silent, passed over while bound
	Leds leds;
	bool rumbling = false; // as the driver has it

	bool found() const { return !bound.where.id.empty(); }
};

struct Group {
	std::vector<wiimote_t *> slots; // each remote's record, as handed out
	std::vector<std::unique_ptr<Remote>> remotes;
	bool yielded = false; // its last poll gave its turn to another group
};

struct Hub {
	std::string sysRoot = "/sys";
	std::string devRoot = "/dev";
	std::vector<std::unique_ptr<Group>> groups;
	std::set<std::string> taken; // HID ids of remotes some group has found
	int nextId = 1;
};

Hub &hub();

// When the remote next needs work of its own (kNever: none), whatever its
// input does.
Time nextWork(const Remote &r);

// Opens the remote's nodes: it is connected from now on, with the keys the
// kernel says are down, its extension and its battery.
bool connectRemote(Remote &r, Time now);

// What the remote has now: its own work when due (a silent one's, or one
// bound anew and being asked, whenever it is looked at: its raw node is
// waited on), then at most one event of its input. The event, if any, is
// in its record.
void process(Remote &r, Time now);

// Its descriptors to wait on for input: a connected remote's nodes (and
// its camera's set-up under way), a silent one's raw node, the raw node
// of one bound anew and being asked.
// `backlog`: one stopped at an event with more perhaps queued.
void watched(const Remote &r, std::vector<int> &fds, bool &backlog);

// The camera on: the record says so at once, its sources come once the
// remote has acknowledged the set-up, away from the loop. A set-up that
// fails is said and tried again; after the last, the camera is off.
void setIr(Remote &r, bool on);
void rumble(Remote &r, bool on);

} // namespace wiiuse_linux

#endif
