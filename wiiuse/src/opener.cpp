#include "opener.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

namespace wiiuse_linux {

namespace {

enum : int { kUnderWay, kDone, kAbandoned };

} // namespace

struct OpenShared {
	std::string path;
	int wake[2] = {-1, -1}; // written once the open has ended
	std::atomic<int> state{kUnderWay};
	int fd = -1;
	int error = 0;

	~OpenShared()
	{
		for (int w : wake)
			if (w >= 0)
				close(w);
	}
};

namespace {

void *openNodeAway(void *arg)
{
	auto *held = static_cast<std::shared_ptr<OpenShared> *>(arg);
	std::shared_ptr<OpenShared> s = std::move(*held);
	delete held;
	int fd;
	do
		fd = open(s->path.c_str(), O_RDONLY | O_CLOEXEC);
	while (fd < 0 && errno == EINTR);
	s->error = fd < 0 ? errno : 0;
	if (fd >= 0)
		fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
	s->fd = fd;
	if (s->state.exchange(kDone) == kAbandoned) {
		if (fd >= 0)
			close(fd);
		return nullptr;
	}
	const char done = 1;
	ssize_t n;
	do
		n = write(s->wake[1], &done, 1);
	while (n < 0 && errno == EINTR);
	return nullptr;
}

} // namespace

Opener &Opener::operator=(Opener &&other) noexcept
{
	if (this != &other) {
		abandon();
		shared = std::move(other.shared);
	}
	return *this;
}

void Opener::abandon()
{
	if (shared && shared->state.exchange(kAbandoned) == kDone && shared->fd >= 0)
		close(shared->fd);
	shared.reset();
}

bool startOpen(const std::string &path, Opener &opener)
{
	opener.abandon();
	auto s = std::make_shared<OpenShared>();
	s->path = path;
	if (pipe2(s->wake, O_CLOEXEC | O_NONBLOCK) < 0)
		return false;
	// The worker takes no signal: the program's own are the loop's.
	sigset_t all, before;
	sigfillset(&all);
	pthread_attr_t attr;
	pthread_attr_init(&attr);
	pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
	pthread_sigmask(SIG_SETMASK, &all, &before);
	auto *held = new std::shared_ptr<OpenShared>(s);
	pthread_t worker;
	int rc = pthread_create(&worker, &attr, openNodeAway, held);
	pthread_sigmask(SIG_SETMASK, &before, nullptr);
	pthread_attr_destroy(&attr);
	if (rc != 0) {
		delete held;
		errno = rc;
		return false;
	}
	opener.shared = std::move(s);
	return true;
}

int openerFd(const Opener &opener)
{
	return opener.shared ? opener.shared->wake[0] : -1;
}

bool finishOpen(Opener &opener, int &fd, int &error)
{
	if (!opener.shared || opener.shared->state.load() != kDone)
		return false;
	fd = opener.shared->fd;
	error = opener.shared->error;
	opener.shared.reset();
	return true;
}

} // namespace wiiuse_linux
