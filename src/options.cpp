// SPDX-License-Identifier: MIT
// Command line: "-f <path>" names the Art file; nothing else is read.
#include "artflash.h"

#include <stdio.h>
#include <string.h>
#include <unistd.h>

char art_path[ART_PATH_SIZE];

int parse_options(int argc, char **argv)
{
	int opt;
	int too_long = 0;

	memset(art_path, 0, sizeof(art_path));
	// getopt keeps reporting unknown options and a dangling -f itself;
	// they are then ignored, as if they were not there.
	while ((opt = getopt(argc, argv, "f:")) != -1) {
		if (opt != 'f')
			continue;
		// The last -f wins, so only a last value that does not fit is fatal.
		too_long = strlen(optarg) >= sizeof(art_path);
		if (too_long)
			memset(art_path, 0, sizeof(art_path));
		else
			strcpy(art_path, optarg);
	}
	if (too_long) {
		puts("Art file path is too long");
		return -1;
	}
	// An empty value counts as no value.
	if (art_path[0] == '\0')
		strcpy(art_path, DEFAULT_ART_PATH);
	return 0;
}
