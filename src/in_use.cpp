// SPDX-License-Identifier: MIT
// Whether the kernel uses the Art partition: a file system mounted from it,
// or UBI attached to it. On the wrong board or firmware /dev/mtd4 can be the
// running root file system, an overlay or a UBI device, and erasing it pulls
// the ground from under the system. The kernel's tables are read with open
// and read alone: stdio, directory listings and the scanf family would cost
// kilobytes in a static build.
#include "in_use.h"

#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

// MTD character devices are major 90, two minors each (mtdN, then its
// read-only twin). A file system on mtdN has the device number 31:N,
// whether mounted from the block device mtdblockN or from mtdN itself.
constexpr unsigned MTD_CHAR_MAJOR = 90;
constexpr unsigned MTD_BLOCK_MAJOR = 31;

// The kernel numbers UBI devices ubi0 to ubi31.
constexpr int UBI_MAX_DEVICES = 32;

// Each mount of this process's namespace, one a line, its device
// (MAJOR:MINOR) the third field.
constexpr char MOUNT_TABLE[] = "/proc/self/mountinfo";
constexpr int MOUNT_DEVICE_FIELD = 3;

// Whether a mount has the device number number. Read a block at a time,
// so that a line of any length is read through.
static int mounted(const char *number)
{
	char block[512];
	const size_t len = strlen(number);
	size_t at = 0;
	int field = 1, same = 1, found = 0;
	ssize_t got;
	int fd = open(MOUNT_TABLE, O_RDONLY);

	if (fd < 0)
		return 0;
	while (!found && (got = read(fd, block, sizeof(block))) > 0)
		for (ssize_t i = 0; i < got && !found; i++) {
			if (block[i] == ' ' || block[i] == '\n') {
				found = field == MOUNT_DEVICE_FIELD && same && at == len;
				field = block[i] == '\n' ? 1 : field + 1;
				same = 1;
				at = 0;
			} else if (field == MOUNT_DEVICE_FIELD) {
				same = same && at < len && block[i] == number[at];
				at++;
			}
		}
	close(fd);
	return found;
}

// Whether a UBI device is attached to MTD device index: its mtd_num
// holds the index, in decimal, and a newline.
static int attached_to_ubi(unsigned index)
{
	char path[48], want[16], got[16];
	const int len = snprintf(want, sizeof(want), "%u\n", index);

	for (int ubi = 0; ubi < UBI_MAX_DEVICES; ubi++) {
		snprintf(path, sizeof(path), "/sys/class/ubi/ubi%d/mtd_num", ubi);
		int fd = open(path, O_RDONLY);
		if (fd < 0)
			continue;
		ssize_t n = read(fd, got, sizeof(got));
		close(fd);
		if (n == len && memcmp(got, want, len) == 0)
			return 1;
	}
	return 0;
}

int flash_device_in_use(int device)
{
	struct stat st;
	char number[24];

	if (fstat(device, &st) != 0 || !S_ISCHR(st.st_mode) || major(st.st_rdev) != MTD_CHAR_MAJOR)
		return 0;
	const unsigned index = minor(st.st_rdev) / 2;
	snprintf(number, sizeof(number), "%u:%u", MTD_BLOCK_MAJOR, index);
	return mounted(number) || attached_to_ubi(index);
}
