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
#include <unistd.h>

static char path[256];
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
	char line[1100], quoted[1030], *q;
	const char *word = path, *p;
	struct stat st;
	sigset_t keys;
	int opt, lock, too_long = 0;

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
	if ((lock = open("/dev/mtd4", O_RDONLY)) >= 0)
		while (flock(lock, LOCK_EX) != 0 && errno == EINTR)
			;
	if (access(path, F_OK) != 0 || stat(path, &st) != 0)
		return printf("Art file %s is not exist\n", path), -1;
	if (st.st_size != 0x10000)
		return puts("Art filesize is not 0x10000"), -1;
	if (!S_ISREG(st.st_mode))
		return printf("Art file %s is not a regular file\n", path), -1;
	if (access(path, R_OK) != 0)
		return printf("Art file %s is not readable\n", path), -1;
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
	if (system("mtd_debug erase /dev/mtd4 0x0 0x10000") != 0)
		return puts("Art erase failed"), -1;
	if (system(line) != 0)
		return puts("Art write failed"), -1;
	if (lock >= 0)
		close(lock);
	return 0;
}
