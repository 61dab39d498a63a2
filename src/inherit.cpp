// SPDX-License-Identifier: MIT
// Standard streams and signal dispositions, as the flash step needs them.
#include "inherit.h"

#include <fcntl.h>
#include <stdio.h>
#include <signal.h>
#include <unistd.h>

constexpr char NULL_DEVICE[] = "/dev/null";

// A closed standard descriptor is the lowest free one, so the next file
// opened takes it: in mtd_debug that is the flash, and its summary line
// would be written into the freshly erased range.
int open_standard_streams(void)
{
	int fd;

	while ((fd = open(NULL_DEVICE, O_RDWR)) >= 0 && fd <= STDERR_FILENO)
		;
	if (fd > STDERR_FILENO) {
		close(fd);
		return 0;
	}
	// No null device: that matters only when a stream is still closed.
	for (fd = STDIN_FILENO; fd <= STDERR_FILENO; fd++)
		if (fcntl(fd, F_GETFD) < 0) {
			puts("Art standard streams cannot be opened");
			return -1;
		}
	return 0;
}

// Every signal whose default action ends the process, but for SIGKILL,
// which nothing can ignore, and those that report a fault in the program
// itself (SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP, SIGSYS, SIGABRT). The
// kernel never raises SIGSTKFLT or SIGEMT for a fault of its own, so only
// a sender's choice can bring them, as it brings SIGTERM.
static const int FLASH_STEP_IGNORED[] = {
	SIGHUP, SIGINT, SIGQUIT, SIGPIPE, SIGALRM, SIGTERM, SIGUSR1, SIGUSR2,
	SIGVTALRM, SIGPROF, SIGXCPU, SIGXFSZ, SIGPWR, SIGIO,
#ifdef SIGSTKFLT
	SIGSTKFLT,
#endif
#ifdef SIGEMT
	SIGEMT,
#endif
};

// Ignored dispositions survive exec, so the shell and mtd_debug keep them
// too: a Ctrl-C, a hang-up, a timeout or a lost log reader waits until the
// write is done. An ignored SIGCHLD would make system() lose its child's
// status.
void shield_flash_step(void)
{
	for (int sig : FLASH_STEP_IGNORED)
		signal(sig, SIG_IGN);
	for (int sig = SIGRTMIN; sig <= SIGRTMAX; sig++)
		signal(sig, SIG_IGN);
	signal(SIGCHLD, SIG_DFL);
}
