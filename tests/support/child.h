// Runs a program of the project as a child process and reads what it prints.
#ifndef TESTS_CHILD_H
#define TESTS_CHILD_H

#include <chrono>
#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

using std::chrono::milliseconds;

struct Child {
	pid_t pid = -1;
	int out = -1; // read end of its standard output
	int err = -1; // read end of its standard error
	std::string outText, errText;
	int status = -1; // as waitpid gives it, once reaped

	Child() = default;
	Child(const Child &) = delete;
	Child &operator=(const Child &) = delete;
	~Child(); // kills and reaps a child still running
};

// Starts `path` with `env` added to the environment. `beforeExec` runs in the
// child after the fork; returning false makes the child exit with status 127.
void spawn(Child &c, const std::string &path, const std::vector<std::string> &env = {},
           const std::function<bool()> &beforeExec = {});

// Reads standard output and error until `done` holds for what standard
// output has so far, or the time runs out. Returns whether `done` held.
bool readUntil(Child &c, const std::function<bool(const std::string &)> &done, milliseconds limit);

// Reads until the child ends (or the time runs out: then it is killed), and
// reaps it. Returns whether it ended by itself.
bool finish(Child &c, milliseconds limit);

// Sends `sig`, reads what is left and reaps the child.
void stop(Child &c, int sig);

// Exit status of a child that exited, -1 when a signal ended it.
int exitCode(const Child &c);

// The scripted wiiuse notes each call on standard output as "\x1e<call>\n",
// wherever it falls: the program's own output without them, and the calls.
void splitNotes(const std::string &combined, std::string &out, std::vector<std::string> &calls);

// Reads whatever `fd` holds now, without waiting.
std::string drain(int fd);

#endif
