// SPDX-License-Identifier: MIT
// The mtd_debug command lines: the quoted path, and how an outcome is judged.
#include "command.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

// Characters the shell passes on as they are, wherever they stand.
#define SHELL_PLAIN "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_@%+=:,./-"

static int needs_quotes(const char *path)
{
	return path[strspn(path, SHELL_PLAIN)] != '\0';
}

// Inside single quotes the shell takes every byte literally except the
// closing quote, so an embedded quote closes, escapes and reopens: '\''.
// No further than a path buffer holds, so that quoted cannot overflow.
static void quote_path(char *out, const char *path)
{
	const char *end = path + strnlen(path, ART_PATH_SIZE - 1);

	*out++ = '\'';
	for (; path < end; path++) {
		if (*path == '\'') {
			memcpy(out, "'\\''", 4);
			out += 4;
		} else {
			*out++ = *path;
		}
	}
	*out++ = '\'';
	*out = '\0';
}

void compose_write_command(char line[WRITE_COMMAND_SIZE], const char path[ART_PATH_SIZE])
{
	char quoted[QUOTED_PATH_SIZE];

	if (needs_quotes(path)) {
		quote_path(quoted, path);
		path = quoted;
	}
	snprintf(line, WRITE_COMMAND_SIZE, "%s%s", WRITE_COMMAND_PREFIX, path);
}

// -1: no shell; 127: the shell found no command; a signal or any other
// non-zero exit: the command did not finish its job. Nothing but 0 will
// do: MIPS numbers signals up to 128, and a death by signal 128 gives
// 0x80, which WIFEXITED and WEXITSTATUS would read as "exited 0".
static int command_succeeded(int status)
{
	return status == 0;
}

int run_command(const char *line)
{
	return command_succeeded(system(line)) ? 0 : -1;
}

// Whether a result of system() says the shell was started at all.
static int command_started(int status)
{
	return status != -1 && status != EXITED_127;
}

// Short of memory or processes, fork fails; a second later it may not.
// After a good erase a failed start is not a failed write: the erase has
// just shown that the shell finds mtd_debug, and giving up now would leave
// the range erased. A write that started and failed is not tried again.
int run_write_command(const char *line)
{
	int status = system(line);

	for (unsigned waited = 0; !command_started(status) && waited < WRITE_START_SECONDS; waited++) {
		if (waited == 0)
			fputs("Art write could not be started: trying again\n", stderr);
		sleep(1);
		status = system(line);
	}
	return command_succeeded(status) ? 0 : -1;
}
