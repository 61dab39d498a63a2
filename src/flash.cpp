// SPDX-License-Identifier: MIT
// Check and read the Art file and the partition, erase and write it with
// mtd_debug, and read the partition back.
#include "artflash.h"
#include "command.h"
#include "guard.h"
#include "in_use.h"

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

// What the range held before the erase, so that a failure can say whether
// it is still there.
static unsigned char old_art_data[ART_IMAGE_SIZE];

// The range is read back a piece at a time, so that it needs no third
// 64 KiB buffer.
constexpr size_t READ_BACK_CHUNK_SIZE = 4096;
static_assert(ART_IMAGE_SIZE % READ_BACK_CHUNK_SIZE == 0, "whole chunks");

constexpr unsigned char ERASED_BYTE = 0xFF;

#define SIZE_MESSAGE "Art filesize is not " ART_SPELLED(ART_IMAGE_SIZE_LITERAL)

static int check_art_stat(const struct stat *st)
{
	if (st->st_size != ART_IMAGE_SIZE) {
		puts(SIZE_MESSAGE);
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
// mtd_debug's write holds the partition and the image open at once, beside
// every descriptor it inherits, the lock among them: a launcher's ulimit
// -n, or descriptors it left open, could let the erase run and then keep
// the write from opening the image (musl's system() needs two as well,
// for the pipe its posix_spawn reports through). So one descriptor more
// is taken while the image is open, where the write's two will be.
static int read_art_file(void)
{
	struct stat st;
	ssize_t got;
	int result = -1;
	int fd = open(art_path, O_RDONLY | O_NOCTTY | O_NONBLOCK);
	int spare = fd < 0 ? -1 : dup(fd);

	if (spare < 0 && out_of_descriptors(errno))
		goto no_descriptor;
	if (fd < 0 || fstat(fd, &st) != 0)
		goto unreadable;
	if (check_art_stat(&st) != 0)
		goto out;
	got = read_at(fd, art_image, sizeof(art_image), 0);
	if (got < 0)
		goto unreadable;
	if (got != ART_IMAGE_SIZE)
		puts(SIZE_MESSAGE);
	else
		result = 0;
	goto out;
no_descriptor:
	fputs(NO_DESCRIPTOR_MESSAGE, stdout);
	goto out;
unreadable:
	printf("Art file %s is not readable\n", art_path);
out:
	if (spare >= 0)
		close(spare);
	if (fd >= 0)
		close(fd);
	return result;
}

// A node that is there but cannot be read now could not be read after the
// write either, and a flash that cannot be checked is refused while
// nothing is lost. Only a machine with no node at all (a development one)
// has nothing to read.
static int read_old_data(int device)
{
	if (device == FLASH_DEVICE_MISSING ||
	    (device >= 0 && read_at(device, old_art_data, sizeof(old_art_data), 0) == ART_IMAGE_SIZE))
		return 0;
	fputs(device == FLASH_DEVICE_NO_DESCRIPTOR ? NO_DESCRIPTOR_MESSAGE
	                                           : "Art partition " ART_MTD_DEVICE " is not readable\n", stdout);
	return -1;
}

// On the wrong board or firmware the partition can be the running root
// file system, an overlay or a UBI device, which an erase destroys under
// the system that uses it. An Art partition is raw data, never mounted.
static int check_not_in_use(int device)
{
	if (device < 0 || !flash_device_in_use(device))
		return 0;
	puts("Art partition " ART_MTD_DEVICE " is in use");
	return -1;
}

// What the range reads as, as bits; HOLDS_UNKNOWN alone when it cannot be
// read whole.
enum { HOLDS_IMAGE = 1, HOLDS_OLD_DATA = 2, HOLDS_ERASED = 4, HOLDS_UNKNOWN = 8 };

static int is_erased(const unsigned char *bytes, size_t len)
{
	return bytes[0] == ERASED_BYTE && memcmp(bytes, bytes + 1, len - 1) == 0;
}

// One pass over the whole range, after the erase, for the verify and for
// the note alike: a protected chip, or a driver that drops or garbles
// data, can still let mtd_debug exit 0.
static int read_back(int device)
{
	unsigned char chunk[READ_BACK_CHUNK_SIZE];
	int holds = HOLDS_IMAGE | HOLDS_OLD_DATA | HOLDS_ERASED;

	for (off_t at = 0; at < ART_IMAGE_SIZE; at += sizeof(chunk)) {
		if (read_at(device, chunk, sizeof(chunk), at) != (ssize_t)sizeof(chunk))
			return HOLDS_UNKNOWN;
		if (memcmp(chunk, art_image + at, sizeof(chunk)) != 0)
			holds &= ~HOLDS_IMAGE;
		if (memcmp(chunk, old_art_data + at, sizeof(chunk)) != 0)
			holds &= ~HOLDS_OLD_DATA;
		if (!is_erased(chunk, sizeof(chunk)))
			holds &= ~HOLDS_ERASED;
	}
	return holds;
}

// After a failure the one question is whether the board may be powered
// off; when more than one answer is true, the first below is given. The
// image is what was wanted, whatever else it matches; and a blank board's
// old data is erased too, which leaves the board with no Art data.
static const char *holds_note(int holds)
{
	if (holds & HOLDS_IMAGE)
		return "Art partition holds the new image\n";
	if (holds & HOLDS_ERASED)
		return "Art partition is erased: flash it again before powering off\n";
	if (holds & HOLDS_OLD_DATA)
		return "Art partition still holds its old data\n";
	if (holds & HOLDS_UNKNOWN)
		return "Art partition cannot be read back: flash it again before powering off\n";
	return "Art partition holds neither its old data nor the image: flash it again before powering off\n";
}

// Once the erase has begun, a failure also says what the range holds, on
// standard error, after the message: standard output keeps the fixed
// messages alone.
static int flash_failed(const char *message, int device)
{
	puts(message);
	fflush(stdout);
	if (device >= 0)
		fputs(holds_note(read_back(device)), stderr);
	return -1;
}

// Whether the range reads as it must after a command. Without the node
// there is nothing to read back, as there is no lock; mtd_debug cannot
// have reached a device without one.
static int range_holds(int device, int expected)
{
	return device < 0 || (read_back(device) & expected);
}

// mtd_debug can exit 0 having done nothing, or part (a protection the
// driver misses, a failing block), after the erase as after the write. A
// write over a range that is not erased ANDs the image into the old data
// and leaves neither, so the erase is proven before the write is run.
static int check_and_flash(int device)
{
	char write_command[WRITE_COMMAND_SIZE];

	if (check_art_file() != 0 || read_art_file() != 0 || read_old_data(device) != 0 ||
	    check_not_in_use(device) != 0)
		return -1;
	compose_write_command(write_command, art_path);
	shield_flash_step();
	if (run_command(ERASE_COMMAND) != 0 || !range_holds(device, HOLDS_ERASED))
		return flash_failed("Art erase failed", device);
	if (run_write_command(write_command) != 0)
		return flash_failed("Art write failed", device);
	if (!range_holds(device, HOLDS_IMAGE))
		return flash_failed("Art verify failed", device);
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
