// SPDX-License-Identifier: MIT
// What stat reports after access has passed can differ from what access
// saw: the file can vanish, or be swapped for something that is no file.
// stat is wrapped at link time so that these races happen every time.
#include "artflash.h"
#include "case_name.h"
#include "sandbox.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <string>

namespace {
std::function<int(struct stat *)> fake_stat;
}

extern "C" {
int __real_stat(const char *path, struct stat *st);
int __real_stat64(const char *path, struct stat *st);

int __wrap_stat(const char *path, struct stat *st)
{
	return fake_stat ? fake_stat(st) : __real_stat(path, st);
}

// Where off_t is 32 bits, stat is stat64 under _FILE_OFFSET_BITS=64.
int __wrap_stat64(const char *path, struct stat *st)
{
	return fake_stat ? fake_stat(st) : __real_stat64(path, st);
}
}

namespace {

struct RaceCase {
	const char *name;
	int result;     // what stat returns, with ENOENT when -1
	mode_t type;
	std::string out;
};

const RaceCase RACE_CASES[] = {
	{"vanished before stat", -1, 0, "Art file {dir}/art.bin is not exist\n"},
	{"directory of 64 KiB", 0, S_IFDIR, "Art file {dir}/art.bin is not a regular file\n"},
	{"device of 64 KiB", 0, S_IFCHR, "Art file {dir}/art.bin is not a regular file\n"},
	{"fifo of 64 KiB", 0, S_IFIFO, "Art file {dir}/art.bin is not a regular file\n"},
};

void PrintTo(const RaceCase &c, std::ostream *os) { *os << c.name; }

class StatRace : public testing::TestWithParam<RaceCase> {};

TEST_P(StatRace, NothingIsErased)
{
	const RaceCase &c = GetParam();
	Sandbox box;
	box.use_here();
	strcpy(art_path, box.path("art.bin").c_str());
	fake_stat = [&c](struct stat *st) {
		memset(st, 0, sizeof(*st));
		st->st_mode = c.type | 0644;
		st->st_size = ART_IMAGE_SIZE;
		errno = ENOENT;
		return c.result;
	};

	testing::internal::CaptureStdout();
	int result = flash_art();
	fflush(stdout);
	std::string out = testing::internal::GetCapturedStdout();
	fake_stat = nullptr;

	EXPECT_EQ(result, -1);
	EXPECT_EQ(out, box.expand(c.out));
	EXPECT_TRUE(box.log().empty());
	EXPECT_TRUE(box.flash() == Sandbox::old_flash());
}

INSTANTIATE_TEST_SUITE_P(Races, StatRace, testing::ValuesIn(RACE_CASES), CaseName());

} // namespace
