// SPDX-License-Identifier: MIT
// Failures no process run can stage every time, staged by wrapping calls at
// link time: stat after access, an image that fails to read or changes
// length, a write whose shell cannot start; /dev/mtd4 is the partition file.
#include "artflash.h"
#include "case_name.h"
#include "command.h"
#include "sandbox.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct StagedCase {
	const char *name;
	int stat_result;  // what stat returns, with ENOENT when -1; 1 for the real stat
	mode_t type;
	off_t image_length;  // the image as pread finds it, -1 unreadable; 0 for the real pread
	std::vector<int> write_starts;  // what system() gives for the write before it runs it
	std::string out;
	size_t calls;    // none: flash untouched; the erase alone: erased; both: the image
	unsigned tries;  // of the write, a second apart
};

const StagedCase *staged;
std::string partition;
unsigned write_tries, slept;

const std::string NOT_REGULAR = "Art file {dir}/art.bin is not a regular file\n";
const std::string WRONG_SIZE = "Art filesize is not 0x10000\n";

const StagedCase STAGED_CASES[] = {
	{"vanished before stat", -1, 0, 0, {}, "Art file {dir}/art.bin is not exist\n", 0, 0},
	{"directory of 64 KiB", 0, S_IFDIR, 0, {}, NOT_REGULAR, 0, 0},
	{"device of 64 KiB", 0, S_IFCHR, 0, {}, NOT_REGULAR, 0, 0},
	{"fifo of 64 KiB", 0, S_IFIFO, 0, {}, NOT_REGULAR, 0, 0},
	{"image cannot be read", 1, 0, -1, {}, "Art file {dir}/art.bin is not readable\n", 0, 0},
	{"image shrank", 1, 0, ART_IMAGE_SIZE / 2, {}, WRONG_SIZE, 0, 0},
	{"image grew", 1, 0, ART_IMAGE_SIZE * 2, {}, WRONG_SIZE, 0, 0},
	{"write starts the third time", 1, 0, 0, {-1, EXITED_127},
	 "Copied 65536 bytes from {dir}/art.bin to address 0x00000000 in flash\n", 2, 3},
	{"write never starts", 1, 0, 0, std::vector<int>(10, -1), "Art write failed\n", 1, WRITE_START_SECONDS + 1},
};

void PrintTo(const StagedCase &c, std::ostream *os) { *os << c.name; }

class Staged : public testing::TestWithParam<StagedCase> {};

TEST_P(Staged, NothingIsLost)
{
	const StagedCase &c = GetParam();
	Sandbox box;
	box.use_here();
	strcpy(art_path, box.path("art.bin").c_str());
	partition = box.path("flash/mtd4");
	// The flash step leaves signals ignored and blocked: put back after.
	sigset_t mask;
	struct sigaction actions[NSIG];
	sigprocmask(SIG_SETMASK, nullptr, &mask);
	for (int sig = 1; sig < NSIG; sig++)
		sigaction(sig, nullptr, &actions[sig]);
	write_tries = slept = 0;
	staged = &c;

	testing::internal::CaptureStdout();
	int result = flash_art();
	fflush(stdout);
	std::string out = testing::internal::GetCapturedStdout();
	staged = nullptr;
	for (int sig = 1; sig < NSIG; sig++)
		sigaction(sig, &actions[sig], nullptr);
	sigprocmask(SIG_SETMASK, &mask, nullptr);

	EXPECT_EQ(result, c.calls == 2 ? 0 : -1);
	EXPECT_EQ(out, box.expand(c.out));
	EXPECT_EQ(box.log().size(), c.calls);
	EXPECT_EQ(write_tries, c.tries);
	EXPECT_EQ(slept, c.tries ? c.tries - 1 : 0) << "seconds between the tries";
	std::string flash = Sandbox::old_flash();
	if (c.calls > 0)
		flash.replace(0, ART_IMAGE_SIZE, c.calls == 1 ? std::string(ART_IMAGE_SIZE, '\xff') : Sandbox::image());
	EXPECT_TRUE(box.flash() == flash) << "partition content differs";
}

INSTANTIATE_TEST_SUITE_P(Staged, Staged, testing::ValuesIn(STAGED_CASES), CaseName());

} // namespace

extern "C" {
int __real_stat(const char *path, struct stat *st);
int __real_stat64(const char *path, struct stat *st);
int __real_open(const char *path, int flags, ...);
int __real_open64(const char *path, int flags, ...);
ssize_t __real_pread(int fd, void *buf, size_t count, off_t offset);
ssize_t __real_pread64(int fd, void *buf, size_t count, off_t offset);
int __real_system(const char *line);

int __wrap_stat(const char *path, struct stat *st)
{
	if (!staged || staged->stat_result > 0)
		return __real_stat(path, st);
	memset(st, 0, sizeof(*st));
	st->st_mode = staged->type | 0644;
	st->st_size = ART_IMAGE_SIZE;
	errno = ENOENT;
	return staged->stat_result;
}

// Where off_t is 32 bits, _FILE_OFFSET_BITS=64 makes stat, open and pread
// their 64-bit twins. artflash creates no file: no mode is passed on.
int __wrap_stat64(const char *path, struct stat *st)
{
	return staged && staged->stat_result <= 0 ? __wrap_stat(path, st) : __real_stat64(path, st);
}

int __wrap_open(const char *path, int flags, ...)
{
	return __real_open(strcmp(path, ART_MTD_DEVICE) ? path : partition.c_str(), flags);
}

int __wrap_open64(const char *path, int flags, ...)
{
	return __real_open64(strcmp(path, ART_MTD_DEVICE) ? path : partition.c_str(), flags);
}

ssize_t __wrap_pread(int fd, void *buf, size_t count, off_t offset)
{
	if (!staged || staged->image_length == 0)
		return __real_pread(fd, buf, count, offset);
	errno = EIO;
	return staged->image_length < 0 ? -1 : std::clamp<off_t>(staged->image_length - offset, 0, count);
}

ssize_t __wrap_pread64(int fd, void *buf, size_t count, off_t offset)
{
	return staged && staged->image_length ? __wrap_pread(fd, buf, count, offset)
	                                      : __real_pread64(fd, buf, count, offset);
}

int __wrap_system(const char *line)
{
	if (!staged || strncmp(line, WRITE_COMMAND_PREFIX, strlen(WRITE_COMMAND_PREFIX)) != 0)
		return __real_system(line);
	return write_tries++ < staged->write_starts.size() ? staged->write_starts[write_tries - 1]
	                                                    : __real_system(line);
}

unsigned __wrap_sleep(unsigned seconds)
{
	slept += seconds;
	return 0;
}
}
