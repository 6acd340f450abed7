#include "child.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// One round of reading: waits at most `wait` for output. False at end of both.
bool readSome(Child &c, milliseconds wait)
{
	pollfd fds[2] = {{c.out, POLLIN, 0}, {c.err, POLLIN, 0}};
	if (c.out < 0 && c.err < 0)
		return false;
	int n = poll(fds, 2, static_cast<int>(wait.count()));
	if (n <= 0)
		return true;
	int *ends[2] = {&c.out, &c.err};
	std::string *texts[2] = {&c.outText, &c.errText};
	for (int i = 0; i < 2; ++i) {
		if (*ends[i] < 0 || !fds[i].revents)
			continue;
		char buf[4096];
		ssize_t got = read(*ends[i], buf, sizeof buf);
		if (got > 0) {
			texts[i]->append(buf, static_cast<size_t>(got));
		} else if (got == 0 || errno != EINTR) {
			close(*ends[i]);
			*ends[i] = -1;
		}
	}
	return true;
}

void reap(Child &c)
{
	if (c.pid <= 0)
		return;
	while (waitpid(c.pid, &c.status, 0) < 0 && errno == EINTR) {
	}
	c.pid = -1;
}

void closeEnds(Child &c)
{
	for (int *fd : {&c.out, &c.err})
		if (*fd >= 0) {
			close(*fd);
			*fd = -1;
		}
}

} // namespace

Child::~Child()
{
	if (pid > 0)
		kill(pid, SIGKILL);
	reap(*this);
	closeEnds(*this);
}

void spawn(Child &c, const std::string &path, const std::vector<std::string> &env,
           const std::function<bool()> &beforeExec)
{
	int out[2], err[2];
	if (pipe2(out, O_CLOEXEC) < 0 || pipe2(err, O_CLOEXEC) < 0)
		std::abort();
	c.pid = fork();
	if (c.pid < 0)
		std::abort();
	if (c.pid == 0) {
		dup2(out[1], STDOUT_FILENO);
		dup2(err[1], STDERR_FILENO);
		for (const std::string &kv : env)
			putenv(const_cast<char *>(kv.c_str()));
		if (beforeExec && !beforeExec())
			_exit(127);
		execl(path.c_str(), path.c_str(), static_cast<char *>(nullptr));
		_exit(127);
	}
	close(out[1]);
	close(err[1]);
	c.out = out[0];
	c.err = err[0];
}

bool readUntil(Child &c, const std::function<bool(const std::string &)> &done, milliseconds limit)
{
	auto end = Clock::now() + limit;
	while (!done(c.outText)) {
		auto left = std::chrono::duration_cast<milliseconds>(end - Clock::now());
		if (left.count() <= 0 || !readSome(c, std::min(left, milliseconds(100))))
			return done(c.outText);
	}
	return true;
}

bool finish(Child &c, milliseconds limit)
{
	auto end = Clock::now() + limit;
	bool ended = true;
	while (c.out >= 0 || c.err >= 0) {
		auto left = std::chrono::duration_cast<milliseconds>(end - Clock::now());
		if (left.count() <= 0) {
			ended = false;
			kill(c.pid, SIGKILL);
			break;
		}
		readSome(c, std::min(left, milliseconds(100)));
	}
	reap(c);
	closeEnds(c);
	return ended;
}

void stop(Child &c, int sig)
{
	if (c.pid > 0)
		kill(c.pid, sig);
	finish(c, milliseconds(10000));
}

int exitCode(const Child &c)
{
	return WIFEXITED(c.status) ? WEXITSTATUS(c.status) : -1;
}

std::string drain(int fd)
{
	std::string text;
	char buf[4096];
	for (;;) {
		pollfd p = {fd, POLLIN, 0};
		if (poll(&p, 1, 0) <= 0 || !(p.revents & POLLIN))
			return text;
		ssize_t got = read(fd, buf, sizeof buf);
		if (got <= 0)
			return text;
		text.append(buf, static_cast<size_t>(got));
	}
}

void splitNotes(const std::string &combined, std::string &out, std::vector<std::string> &calls)
{
	for (size_t at = 0; at < combined.size();) {
		size_t mark = combined.find('\x1e', at);
		out += combined.substr(at, mark - at);
		if (mark == std::string::npos)
			break;
		size_t end = combined.find('\n', mark);
		calls.push_back(combined.substr(mark + 1, end - mark - 1));
		at = end == std::string::npos ? end : end + 1;
	}
}
