// SPDX-License-Identifier: MIT
// The mtd_debug command lines, and how their outcome is judged.
#ifndef ARTFLASH_COMMAND_H
#define ARTFLASH_COMMAND_H

#include "artflash.h"

#include <stddef.h>

#define ART_SPELLED(literal) ART_SPELLED_AS(literal)
#define ART_SPELLED_AS(literal) #literal
#define ART_RANGE ART_MTD_DEVICE " 0x0 " ART_SPELLED(ART_IMAGE_SIZE_LITERAL)

#define ERASE_COMMAND "mtd_debug erase " ART_RANGE
#define WRITE_COMMAND_PREFIX "mtd_debug write " ART_RANGE " "

// Worst case: every character of the longest path is a quote, which
// becomes '\'' inside the pair of quotes around the whole path.
constexpr size_t QUOTED_PATH_SIZE = 4 * (ART_PATH_SIZE - 1) + 2 + 1;
constexpr size_t WRITE_COMMAND_SIZE =
	sizeof(WRITE_COMMAND_PREFIX) - 1 + QUOTED_PATH_SIZE;

// Compose the write command line for path, which like art_path holds at
// most ART_PATH_SIZE - 1 characters (parse_options refuses longer ones).
// A path made only of characters the shell leaves alone goes in as it is;
// any other is single quoted so that the shell passes it on as one word.
void compose_write_command(char line[WRITE_COMMAND_SIZE], const char path[ART_PATH_SIZE]);

// The wait status of a shell that exited 127: it found no command, or,
// in the system() of glibc and uClibc-ng, it could not be run at all.
constexpr int EXITED_127 = 127 << 8;

// How long a write that cannot be started is tried again, once a second.
constexpr unsigned WRITE_START_SECONDS = 5;

// Run a command line through the shell. Returns 0 only if the shell ran it
// and it exited with status 0.
int run_command(const char *line);

// The same for the write, tried again while the shell cannot be started.
int run_write_command(const char *line);

#endif
