// SPDX-License-Identifier: MIT
// The mtd_debug command lines, and how their outcome is judged.
#ifndef ARTFLASH_COMMAND_H
#define ARTFLASH_COMMAND_H

#include "artflash.h"

#include <stddef.h>

#define ERASE_COMMAND "mtd_debug erase " ART_MTD_DEVICE " 0x0 0x10000"
#define WRITE_COMMAND_PREFIX "mtd_debug write " ART_MTD_DEVICE " 0x0 0x10000 "

// Worst case: every character of the longest path is a quote, which
// becomes '\'' inside the pair of quotes around the whole path.
constexpr size_t QUOTED_PATH_SIZE = 4 * (ART_PATH_SIZE - 1) + 2 + 1;
constexpr size_t WRITE_COMMAND_SIZE =
	sizeof(WRITE_COMMAND_PREFIX) - 1 + QUOTED_PATH_SIZE;

// Compose the write command line for path into line. A path made only of
// characters the shell leaves alone goes in as it is; any other is single
// quoted so that the shell passes it on as one word. Returns -1 if the path
// is longer than art_path can hold or the line does not fit in size.
int compose_write_command(char *line, size_t size, const char *path);

// Whether a wait status says the command did its job: exited with 0.
int command_succeeded(int status);

// How glibc's system() reports a shell it could not start: as one that
// exited 127. The others return -1.
constexpr int SHELL_NOT_STARTED = 127 << 8;

// How long a write that cannot be started is tried again, once a second.
constexpr unsigned WRITE_START_SECONDS = 5;

// Run a command line through the shell. Returns 0 only if the shell ran it
// and it exited with status 0.
int run_command(const char *line);

// The same for the write, tried again while the shell cannot be started.
int run_write_command(const char *line);

#endif
