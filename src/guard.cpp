// SPDX-License-Identifier: MIT
// The standard streams, the lock on the partition and the signal
// dispositions, as the flash step needs them.
#include "guard.h"
#include "artflash.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
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

int out_of_descriptors(int error)
{
	return error == EMFILE || error == ENFILE;
}

// The bound of the search for a descriptor handed down: Linux's default
// limit of open files, which a caller that kept it cannot pass. flock(1)
// hands down a low one; the search costs a thousand fstat calls, made only
// when the lock is busy, and needs no directory listing.
constexpr int HANDED_DOWN_FD_BOUND = 1024;

// A caller that holds the lock for a sequence of its own (flock /dev/mtd4
// COMMAND) hands its locked descriptor down: waiting for it would wait for
// ever. The lock belongs to the open file, so a descriptor on the same
// node through which the lock can be had at once is the caller's lock, or
// no one's.
static int lock_handed_down(int device)
{
	struct stat node, st;

	if (fstat(device, &node) != 0)
		return 0;
	for (int fd = 0; fd < HANDED_DOWN_FD_BOUND; fd++)
		if (fd != device && fstat(fd, &st) == 0 && st.st_dev == node.st_dev &&
		    st.st_ino == node.st_ino && flock(fd, LOCK_EX | LOCK_NB) == 0)
			return 1;
	return 0;
}

// Two runs at once would interleave their erases and writes and leave
// neither image. The node itself is the lock: a read-only root has no room
// for a lock file, and every run on the device shares the node. Opened
// without waiting, in case a FIFO has taken its name, and never as a
// controlling terminal. The commands inherit the descriptor, so a run
// killed outright keeps the partition locked until its orphaned command
// has ended. A waiting run keeps its inherited dispositions, so Ctrl-C
// ends it with the flash untouched; it says why it waits on standard
// error, which leaves standard output to the fixed messages.
int lock_flash_device(void)
{
	int fd = open(ART_MTD_DEVICE, O_RDONLY | O_NONBLOCK | O_NOCTTY);

	if (fd < 0)
		return errno == ENOENT ? FLASH_DEVICE_MISSING
		       : out_of_descriptors(errno) ? FLASH_DEVICE_NO_DESCRIPTOR
		                                   : FLASH_DEVICE_UNOPENABLE;
	if (flock(fd, LOCK_EX | LOCK_NB) == 0)
		return fd;
	const int busy = errno == EWOULDBLOCK;
	if (busy && lock_handed_down(fd))
		return fd;
	if (busy)
		fputs(FLASH_BUSY_MESSAGE, stderr);
	// Any other failure (no lock records left) leaves the run unlocked,
	// but it still reads the partition before and after.
	while (flock(fd, LOCK_EX) != 0 && errno == EINTR)
		;
	return fd;
}

// Every signal whose default action ends or stops the process, but for
// SIGKILL and SIGSTOP, which nothing can ignore, and those that report a
// fault in the program itself (SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP,
// SIGSYS, SIGABRT). The kernel never raises SIGSTKFLT or SIGEMT for a
// fault of its own, so only a sender's choice can bring them, as it
// brings SIGTERM.
static const int FLASH_STEP_IGNORED[] = {
	SIGHUP, SIGINT, SIGQUIT, SIGPIPE, SIGALRM, SIGTERM, SIGUSR1, SIGUSR2,
	SIGVTALRM, SIGPROF, SIGXCPU, SIGXFSZ, SIGPWR, SIGIO,
	SIGTSTP, SIGTTIN, SIGTTOU,
#ifdef SIGSTKFLT
	SIGSTKFLT,
#endif
#ifdef SIGEMT
	SIGEMT,
#endif
};

// Ignored dispositions survive exec, so the shell and mtd_debug keep them
// too: a Ctrl-C, a Ctrl-Z, a hang-up, a timeout or a lost log reader waits
// until the write is done. Some C libraries' system() set SIGINT and
// SIGQUIT back to their defaults in the child whatever the caller chose;
// a blocked signal survives that, and exec, and a shell that keeps the
// mask it inherits. An ignored SIGCHLD would make system() lose its
// child's status.
void shield_flash_step(void)
{
	sigset_t keyboard;

	sigemptyset(&keyboard);
	sigaddset(&keyboard, SIGINT);
	sigaddset(&keyboard, SIGQUIT);
	sigprocmask(SIG_BLOCK, &keyboard, NULL);
	for (int sig : FLASH_STEP_IGNORED)
		signal(sig, SIG_IGN);
	for (int sig = SIGRTMIN; sig <= SIGRTMAX; sig++)
		signal(sig, SIG_IGN);
	signal(SIGCHLD, SIG_DFL);
}
