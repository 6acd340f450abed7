#include "node.h"

#include "report.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace wiiuse_linux {

std::string refusal(const std::string &path, int error)
{
	std::string why = std::strerror(error);
	if (error == ENOENT || error == ENODEV || error == ENXIO || error == EIO)
		return why + " (il wiimote non risponde)";
	if (error != EACCES && error != EPERM)
		return why;
	const std::string readme = ": vedi il README, \"Permissions\")";
	struct stat st;
	if (stat(path.c_str(), &st) != 0)
		return why;
	bool member = getegid() == st.st_gid;
	int count = getgroups(0, nullptr);
	std::vector<gid_t> groups(static_cast<size_t>(std::max(count, 0)));
	if (count > 0 && getgroups(count, groups.data()) == count)
		member = member || std::find(groups.begin(), groups.end(), st.st_gid) != groups.end();
	const group *g = st.st_gid == 0 ? nullptr : getgrgid(st.st_gid);
	if (g && !member)
		return why + " (l'utente deve far parte del gruppo " + g->gr_name + readme;
	// Root's alone, or the group's without its rights: udev's rule did not
	// give it out.
	return why + " (serve la regola udev del progetto" + readme;
}

void Node::close()
{
	dev.reset();
	if (fd >= 0)
		::close(fd);
	fd = -1;
	syncing = backlog = false;
	rumbleEffect = -1;
}

bool openNode(const std::string &path, Node &node)
{
	int fd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
	if (fd < 0 && (errno == EACCES || errno == EPERM))
		fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
	if (fd < 0) {
		notice("impossibile aprire " + path + ": " + refusal(path, errno));
		return false;
	}
	adoptNode(fd, path, node);
	return true;
}

void adoptNode(int fd, const std::string &path, Node &node)
{
	node.close();
	node.fd = fd;
	libevdev *dev = nullptr;
	if (libevdev_new_from_fd(fd, &dev) == 0) {
		node.dev.reset(dev);
		// Its keys are the game's alone: without this a desktop session
		// takes the D-pad for arrow keys and PLUS and MINUS for media keys.
		// The grab ends when the node is closed.
		int rc = libevdev_grab(dev, LIBEVDEV_GRAB);
		if (rc < 0)
			notice("impossibile avere in esclusiva " + path + ": " + std::strerror(-rc));
	}
}

Read readEvent(Node &node, input_event &ev)
{
	if (!node.dev) {
		for (;;) {
			ssize_t n = read(node.fd, &ev, sizeof ev);
			if (n == static_cast<ssize_t>(sizeof ev))
				return Read::Event;
			if (n < 0 && errno == EINTR)
				continue;
			if (n < 0 && errno == EAGAIN)
				return Read::Empty;
			return Read::Gone;
		}
	}
	for (;;) {
		unsigned flags = node.syncing ? LIBEVDEV_READ_FLAG_SYNC : LIBEVDEV_READ_FLAG_NORMAL;
		int rc = libevdev_next_event(node.dev.get(), flags, &ev);
		if (rc == LIBEVDEV_READ_STATUS_SUCCESS)
			return Read::Event;
		if (rc == LIBEVDEV_READ_STATUS_SYNC) {
			// The first one is SYN_DROPPED; the state catch-up follows.
			node.syncing = true;
			return Read::Event;
		}
		if (rc == -EAGAIN && node.syncing) {
			node.syncing = false;
			continue;
		}
		if (rc == -EAGAIN || rc == -EINTR)
			return Read::Empty;
		return Read::Gone;
	}
}

bool rumbleNode(Node &node, bool on)
{
	if (!node.isOpen() || !node.dev || !libevdev_has_event_code(node.dev.get(), EV_FF, FF_RUMBLE))
		return false;
	if (node.rumbleEffect < 0) {
		ff_effect effect{};
		effect.type = FF_RUMBLE;
		effect.id = -1;
		effect.u.rumble.strong_magnitude = 0xffff;
		effect.u.rumble.weak_magnitude = 0xffff;
		if (ioctl(node.fd, EVIOCSFF, &effect) < 0)
			return false; // opened read-only: no rights to rumble
		node.rumbleEffect = effect.id;
	}
	input_event play{};
	play.type = EV_FF;
	play.code = static_cast<unsigned short>(node.rumbleEffect);
	play.value = on ? 1 : 0;
	// A failure is not reported: the remote's loss shows in the next poll.
	return write(node.fd, &play, sizeof play) == static_cast<ssize_t>(sizeof play);
}

} // namespace wiiuse_linux
