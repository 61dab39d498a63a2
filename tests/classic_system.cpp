// SPDX-License-Identifier: MIT
// system() as older C libraries for small devices have it: the child sets
// SIGINT and SIGQUIT back to their defaults whatever the caller chose, and
// runs busybox as the shell, as such a device would. Linked into a test
// build of artflash in place of the C library's own.
#include <errno.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

extern "C" int system(const char *line)
{
	struct sigaction ignore = {}, old_int, old_quit;
	int status = -1;

	if (!line)
		return 1;
	ignore.sa_handler = SIG_IGN;
	sigaction(SIGINT, &ignore, &old_int);
	sigaction(SIGQUIT, &ignore, &old_quit);
	pid_t pid = fork();
	if (pid == 0) {
		signal(SIGINT, SIG_DFL);
		signal(SIGQUIT, SIG_DFL);
		execl(BUSYBOX, "sh", "-c", line, (char *)nullptr);
		_exit(127);
	}
	while (pid > 0 && waitpid(pid, &status, 0) < 0 && errno == EINTR)
		;
	sigaction(SIGINT, &old_int, nullptr);
	sigaction(SIGQUIT, &old_quit, nullptr);
	return status;
}
