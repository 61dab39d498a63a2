// SPDX-License-Identifier: MIT
// Check and read the Art file, erase and write it with mtd_debug, and read
// the partition back.
#include "artflash.h"
#include "command.h"
#include "guard.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

// The image as it was read before the erase: what the partition must hold
// afterwards, whatever happens to the file meanwhile. One byte more than
// an image tells a file that grew since it was checked.
static unsigned char art_image[ART_IMAGE_SIZE + 1];

// The read-back goes a piece at a time, so that one image buffer will do.
constexpr size_t VERIFY_CHUNK_SIZE = 4096;
static_assert(ART_IMAGE_SIZE % VERIFY_CHUNK_SIZE == 0, "whole chunks");

static int check_art_stat(const struct stat *st)
{
	if (st->st_size != ART_IMAGE_SIZE) {
		puts("Art filesize is not 0x10000");
		return -1;
	}
	if (!S_ISREG(st->st_mode)) {
		printf("Art file %s is not a regular file\n", art_path);
		return -1;
	}
	return 0;
}

// Every test comes before the erase: once the range is erased, a write that
// cannot follow loses the device's Art data.
static int check_art_file(void)
{
	struct stat st;

	if (access(art_path, F_OK) != 0 || stat(art_path, &st) != 0) {
		printf("Art file %s is not exist\n", art_path);
		return -1;
	}
	return check_art_stat(&st);
}

// Whole reads from offset on, as far as the file goes: the count read,
// or -1.
static ssize_t read_at(int fd, unsigned char *buf, size_t len, off_t offset)
{
	size_t done = 0;
	ssize_t n = 1;

	while (done < len && n != 0) {
		n = pread(fd, buf + done, len - done, offset + done);
		if (n < 0 && errno != EINTR)
			return -1;
		if (n > 0)
			done += n;
	}
	return done;
}

// Root may open any file, and a read can still fail (a bad medium, a
// broken file system, a server gone): only reading the image proves that
// mtd_debug will be able to, and it must be proved before the erase.
// Non-blocking, in case a FIFO has taken the file's place since stat.
static int read_art_file(void)
{
	struct stat st;
	ssize_t got;
	int result = -1;
	int fd = open(art_path, O_RDONLY | O_NOCTTY | O_NONBLOCK);

	if (fd < 0 || fstat(fd, &st) != 0)
		goto unreadable;
	if (check_art_stat(&st) != 0)
		goto out;
	got = read_at(fd, art_image, sizeof(art_image), 0);
	if (got < 0)
		goto unreadable;
	if (got != ART_IMAGE_SIZE)
		puts("Art filesize is not 0x10000");
	else
		result = 0;
	goto out;
unreadable:
	printf("Art file %s is not readable\n", art_path);
out:
	if (fd >= 0)
		close(fd);
	return result;
}

// What mtd_debug reported as written must be there: a write-protected
// chip, or a driver that drops or garbles data, can still exit 0.
static int verify_flash(int device)
{
	unsigned char chunk[VERIFY_CHUNK_SIZE];

	for (off_t at = 0; at < ART_IMAGE_SIZE; at += sizeof(chunk))
		if (read_at(device, chunk, sizeof(chunk), at) != (ssize_t)sizeof(chunk) ||
		    memcmp(chunk, art_image + at, sizeof(chunk)) != 0)
			return -1;
	return 0;
}

static int check_and_flash(int device)
{
	char write_command[WRITE_COMMAND_SIZE];

	if (check_art_file() != 0 || read_art_file() != 0)
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
	if (run_write_command(write_command) != 0) {
		puts("Art write failed");
		return -1;
	}
	// Without the node there is nothing to read back, as there is no lock;
	// mtd_debug cannot have written a device without one.
	if (device >= 0 && verify_flash(device) != 0) {
		puts("Art verify failed");
		return -1;
	}
	return 0;
}

// One run at a time on the partition: the lock is taken before the checks,
// so a run that waited checks its file once the other run is done.
int flash_art(void)
{
	int device = lock_flash_device();
	int result = check_and_flash(device);

	if (device >= 0)
		close(device);
	return result;
}
