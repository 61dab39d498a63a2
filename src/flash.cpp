// SPDX-License-Identifier: MIT
// Check the Art file, then erase and write it with mtd_debug.
#include "artflash.h"
#include "command.h"
#include "guard.h"

#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

// Every test comes before the erase: once the range is erased, a write that
// cannot follow loses the device's Art data.
static int check_art_file(void)
{
	struct stat st;

	if (access(art_path, F_OK) != 0 || stat(art_path, &st) != 0) {
		printf("Art file %s is not exist\n", art_path);
		return -1;
	}
	if (st.st_size != ART_IMAGE_SIZE) {
		puts("Art filesize is not 0x10000");
		return -1;
	}
	if (!S_ISREG(st.st_mode)) {
		printf("Art file %s is not a regular file\n", art_path);
		return -1;
	}
	if (access(art_path, R_OK) != 0) {
		printf("Art file %s is not readable\n", art_path);
		return -1;
	}
	return 0;
}

static int check_and_flash(void)
{
	char write_command[WRITE_COMMAND_SIZE];

	if (check_art_file() != 0)
		return -1;
	if (compose_write_command(write_command, sizeof(write_command), art_path) != 0) {
		puts("Art file path is too long");
		return -1;
	}
	shield_flash_step();
	if (run_command(ERASE_COMMAND) != 0) {
		puts("Art erase failed");
		return -1;
	}
	if (run_command(write_command) != 0) {
		puts("Art write failed");
		return -1;
	}
	return 0;
}

// One run at a time on the partition: the lock is taken before the checks,
// so a run that waited checks its file once the other run is done.
int flash_art(void)
{
	int lock = lock_flash_device();
	int result = check_and_flash();

	if (lock >= 0)
		close(lock);
	return result;
}
