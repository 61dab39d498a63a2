/* SPDX-License-Identifier: MIT */
/* The floor for artflash: the same checks, quoting and libc calls in the
 * same order, written as plainly as C allows, all in main. */
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

static char path[256];
static unsigned char image[0x10001]; /* a byte more tells a grown file */
static unsigned char old[0x10000];
static const int stops[] = {
	SIGHUP, SIGINT, SIGQUIT, SIGPIPE, SIGALRM, SIGTERM, SIGUSR1, SIGUSR2,
	SIGVTALRM, SIGPROF, SIGXCPU, SIGXFSZ, SIGPWR, SIGIO, SIGTSTP, SIGTTIN, SIGTTOU,
#ifdef SIGSTKFLT
	SIGSTKFLT,
#endif
#ifdef SIGEMT
	SIGEMT,
#endif
};

int main(int argc, char **argv)
{
	char line[1100], quoted[1030], *q, dev[24], ubi[48], text[16];
	unsigned char chunk[4096];
	const char *word = path, *p, *failure = NULL;
	struct stat st, other;
	sigset_t keys;
	int opt, lock, fd, spare, status, handed = 0, holds, want, unopenable, field, same, busy = 0, too_long = 0;
	size_t at;
	ssize_t n, got;

	while ((opt = open("/dev/null", O_RDWR)) >= 0 && opt <= 2)
		;
	if (opt > 2)
		close(opt);
	else
		for (opt = 0; opt <= 2; opt++)
			if (fcntl(opt, F_GETFD) < 0)
				return puts("Art standard streams cannot be opened"), -1;
	memset(path, 0, sizeof(path));
	while ((opt = getopt(argc, argv, "f:")) != -1) {
		if (opt != 'f')
			continue;
		/* the last -f counts: only a last value that does not fit is fatal */
		too_long = strlen(optarg) >= sizeof(path);
		if (too_long)
			memset(path, 0, sizeof(path));
		else
			strcpy(path, optarg);
	}
	if (too_long)
		return puts("Art file path is too long"), -1;
	if (path[0] == '\0')
		strcpy(path, "/tmp/art.bin");
	lock = open("/dev/mtd4", O_RDONLY | O_NONBLOCK | O_NOCTTY);
	unopenable = lock >= 0 || errno == ENOENT ? 0 : errno == EMFILE || errno == ENFILE ? 2 : 1;
	if (lock >= 0 && flock(lock, LOCK_EX | LOCK_NB) != 0) {
		/* a lock the caller holds and handed down is used, not waited for */
		opt = errno == EWOULDBLOCK;
		if (opt && fstat(lock, &st) == 0)
			for (fd = 0; fd < 1024 && !handed; fd++)
				handed = fd != lock && fstat(fd, &other) == 0 && other.st_dev == st.st_dev &&
				         other.st_ino == st.st_ino && flock(fd, LOCK_EX | LOCK_NB) == 0;
		if (opt && !handed)
			fputs("Art flash is busy: waiting for the other run to finish\n", stderr);
		while (!handed && flock(lock, LOCK_EX) != 0 && errno == EINTR)
			;
	}
	if (access(path, F_OK) != 0 || stat(path, &st) != 0)
		return printf("Art file %s is not exist\n", path), -1;
	if (st.st_size != 0x10000)
		return puts("Art filesize is not 0x10000"), -1;
	if (!S_ISREG(st.st_mode))
		return printf("Art file %s is not a regular file\n", path), -1;
	/* the image read whole, and no more, before the erase */
	/* with a descriptor more beside it, for the write's partition and image */
	fd = open(path, O_RDONLY | O_NOCTTY | O_NONBLOCK);
	spare = fd < 0 ? -1 : dup(fd);
	if (spare < 0 && (errno == EMFILE || errno == ENFILE))
		return puts("Art flash needs more file descriptors: too many open files"), -1;
	if (fd < 0)
		return printf("Art file %s is not readable\n", path), -1;
	close(spare);
	if (fstat(fd, &st) != 0)
		return printf("Art file %s is not readable\n", path), -1;
	if (st.st_size != 0x10000)
		return puts("Art filesize is not 0x10000"), -1;
	if (!S_ISREG(st.st_mode))
		return printf("Art file %s is not a regular file\n", path), -1;
	for (got = 0, n = 1; got < (ssize_t)sizeof(image) && n != 0; got += n > 0 ? n : 0)
		if ((n = pread(fd, image + got, sizeof(image) - got, got)) < 0 && errno != EINTR)
			return printf("Art file %s is not readable\n", path), -1;
	close(fd);
	if (got != 0x10000)
		return puts("Art filesize is not 0x10000"), -1;
	/* the old data, before the erase: a node there but unreadable is refused */
	for (got = 0, n = 1; lock >= 0 && got < (ssize_t)sizeof(old) && n != 0; got += n > 0 ? n : 0)
		if ((n = pread(lock, old + got, sizeof(old) - got, got)) < 0 && errno != EINTR)
			break;
	if (unopenable == 2)
		return puts("Art flash needs more file descriptors: too many open files"), -1;
	if (unopenable || (lock >= 0 && got != 0x10000))
		return puts("Art partition /dev/mtd4 is not readable"), -1;
	/* an MTD character device (90, two minors each) that the kernel uses:
	 * a file system mounted from it (31:N in mountinfo) or UBI on it */
	if (lock >= 0 && fstat(lock, &st) == 0 && S_ISCHR(st.st_mode) && major(st.st_rdev) == 90) {
		snprintf(dev, sizeof(dev), "31:%u", minor(st.st_rdev) / 2);
		if ((fd = open("/proc/self/mountinfo", O_RDONLY)) >= 0) {
			for (field = 1, same = 1, at = 0; !busy && (n = read(fd, chunk, sizeof(chunk))) > 0;)
				for (got = 0; got < n && !busy; got++) {
					if (chunk[got] == ' ' || chunk[got] == '\n') {
						busy = field == 3 && same && at == strlen(dev);
						field = chunk[got] == '\n' ? 1 : field + 1;
						same = 1;
						at = 0;
					} else if (field == 3) {
						same = same && at < strlen(dev) && chunk[got] == dev[at];
						at++;
					}
				}
			close(fd);
		}
		snprintf(dev, sizeof(dev), "%u\n", minor(st.st_rdev) / 2);
		for (opt = 0; opt < 32 && !busy; opt++) {
			snprintf(ubi, sizeof(ubi), "/sys/class/ubi/ubi%d/mtd_num", opt);
			if ((fd = open(ubi, O_RDONLY)) < 0)
				continue;
			n = read(fd, text, sizeof(text));
			close(fd);
			busy = n == (ssize_t)strlen(dev) && memcmp(text, dev, n) == 0;
		}
		if (busy)
			return puts("Art partition /dev/mtd4 is in use"), -1;
	}
	/* Any path the shell would change goes in single quotes, ' as '\'' */
	if (path[strspn(path, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
	                      "0123456789_@%+=:,./-")] != '\0') {
		q = quoted;
		*q++ = '\'';
		for (p = path; *p; p++) {
			if (*p == '\'') {
				memcpy(q, "'\\''", 4);
				q += 4;
			} else {
				*q++ = *p;
			}
		}
		*q++ = '\'';
		*q = '\0';
		word = quoted;
	}
	snprintf(line, sizeof(line), "mtd_debug write /dev/mtd4 0x0 0x10000 %s", word);
	sigemptyset(&keys);
	sigaddset(&keys, SIGINT);
	sigaddset(&keys, SIGQUIT);
	sigprocmask(SIG_BLOCK, &keys, NULL);
	for (opt = 0; opt < (int)(sizeof(stops) / sizeof(stops[0])); opt++)
		signal(stops[opt], SIG_IGN);
	for (opt = SIGRTMIN; opt <= SIGRTMAX; opt++)
		signal(opt, SIG_IGN);
	signal(SIGCHLD, SIG_DFL);
	/* one pass over the range after the erase (it must read erased), after
	 * the write (the image), and again for the note after a failure:
	 * 1 the image, 2 the old data, 4 erased, 8 unreadable */
	for (want = 4;; want = 1) {
		if (!failure && want == 4 && system("mtd_debug erase /dev/mtd4 0x0 0x10000") != 0)
			failure = "Art erase failed";
		if (!failure && want == 1) {
			status = system(line);
			for (opt = 0; (status == -1 || status == 127 << 8) && opt < 5; opt++) {
				if (opt == 0)
					fputs("Art write could not be started: trying again\n", stderr);
				sleep(1);
				status = system(line);
			}
			if (status != 0)
				failure = "Art write failed";
		}
		holds = lock >= 0 ? 7 : want;
		for (got = 0; lock >= 0 && got < 0x10000; got += n) {
			if ((n = pread(lock, chunk, sizeof(chunk), got)) != (ssize_t)sizeof(chunk)) {
				holds = 8;
				break;
			}
			if (memcmp(chunk, image + got, n) != 0)
				holds &= ~1;
			if (memcmp(chunk, old + got, n) != 0)
				holds &= ~2;
			if (chunk[0] != 0xff || memcmp(chunk, chunk + 1, n - 1) != 0)
				holds &= ~4;
		}
		if (failure)
			break;
		if (!(holds & want))
			failure = want == 4 ? "Art erase failed" : "Art verify failed";
		else if (want == 1) {
			if (lock >= 0)
				close(lock);
			return 0;
		}
	}
	puts(failure);
	fflush(stdout);
	if (lock >= 0)
		fputs(holds & 1 ? "Art partition holds the new image\n"
		      : holds & 4 ? "Art partition is erased: flash it again before powering off\n"
		      : holds & 2 ? "Art partition still holds its old data\n"
		      : holds & 8 ? "Art partition cannot be read back: flash it again before powering off\n"
		      : "Art partition holds neither its old data nor the image: flash it again before powering off\n",
		      stderr);
	return -1;
}
