// SPDX-License-Identifier: MIT
// The flash simulator: the process tests trust it to act like NOR flash and
// to refuse what the real tool and chip refuse.
#include "artflash.h"
#include "case_name.h"
#include "sandbox.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace {

const std::string SIM = std::string(MTDSIM_BIN_DIR) + "/mtd_debug";

struct SimCase {
	const char *name;
	std::vector<std::string> args;
	int status;
	std::vector<std::string> env = {};
};

const SimCase SIM_CASES[] = {
	{"erase one block", {"erase", "/dev/mtd4", "0x10000", "0x10000"}, 0},
	{"erase off the block grid", {"erase", "/dev/mtd4", "0x100", "0x10000"}, 1},
	{"erase part of a block", {"erase", "/dev/mtd4", "0x0", "0x8000"}, 1},
	{"erase past the end", {"erase", "/dev/mtd4", "0x30000", "0x20000"}, 1},
	{"erase with a huge length", {"erase", "/dev/mtd4", "0x10000", "0xffffffffffff0000"}, 1},
	{"bad offset", {"erase", "/dev/mtd4", "0x1z", "0x10000"}, 1},
	{"negative length", {"erase", "/dev/mtd4", "0", "-65536"}, 1},
	{"empty number", {"erase", "/dev/mtd4", "", "0x10000"}, 1},
	{"no such device", {"erase", "/dev/sda", "0", "0x10000"}, 1},
	{"write a short file", {"write", "/dev/mtd4", "0", "0x10001", "{dir}/art.bin"}, 1},
	{"write a missing file", {"write", "/dev/mtd4", "0", "0x10000", "{dir}/gone.bin"}, 1},
	{"write past the end", {"write", "/dev/mtd4", "0x38000", "0x10000", "{dir}/art.bin"}, 1},
	{"too few arguments", {"write", "/dev/mtd4", "0", "0x10000"}, 1},
	{"unknown subcommand", {"lock", "/dev/mtd4", "0", "0x10000"}, 1},
	{"bad delay", {"erase", "/dev/mtd4", "0x10000", "0x10000"}, 1, {"MTDSIM_DELAY=erase:soon"}},
};

void PrintTo(const SimCase &c, std::ostream *os) { *os << c.name; }

class Simulator : public testing::TestWithParam<SimCase> {};

TEST_P(Simulator, RefusesWhatFlashRefuses)
{
	Sandbox box;
	std::vector<std::string> argv = {SIM};
	for (const std::string &arg : GetParam().args)
		argv.push_back(box.expand(arg));
	const auto run = box.run(argv, GetParam().env);

	EXPECT_EQ(run.status, GetParam().status) << run.err;
	std::string expected = Sandbox::old_flash();
	if (GetParam().status == 0) {
		expected.replace(0x10000, 0x10000, 0x10000, '\xff');
	} else {
		EXPECT_NE(run.err, "") << "a failure must say why";
	}
	EXPECT_TRUE(box.flash() == expected) << "partition content differs";
}

INSTANTIATE_TEST_SUITE_P(Commands, Simulator, testing::ValuesIn(SIM_CASES), CaseName());

TEST(SimulatorNor, WriteWithoutEraseOnlyClearsBits)
{
	Sandbox box;
	box.write_file("ones.bin", std::string(ART_IMAGE_SIZE, '\xff'));
	std::string expected = Sandbox::old_flash();
	for (long i = 0; i < ART_IMAGE_SIZE; i++)
		expected[i] = char(expected[i] & Sandbox::image()[i]);

	// Writing all ones changes nothing; writing the image ANDs it in.
	EXPECT_EQ(box.run({SIM, "write", "/dev/mtd4", "0", "0x10000", box.path("ones.bin")}).status, 0);
	EXPECT_TRUE(box.flash() == Sandbox::old_flash());
	EXPECT_EQ(box.run({SIM, "write", "/dev/mtd4", "0", "0x10000", box.path("art.bin")}).status, 0);
	EXPECT_TRUE(box.flash() == expected);
}

TEST(SimulatorNor, NewPartitionIsErasedAndReadsBack)
{
	Sandbox box;
	EXPECT_EQ(box.run({SIM, "read", "/dev/mtd7", "0x30000", "0x10000", box.path("back.bin")}).status, 0);
	EXPECT_TRUE(box.read_file("back.bin") == std::string(ART_IMAGE_SIZE, '\xff'));
	EXPECT_EQ(box.read_file("flash/mtd7").size(), PARTITION_SIZE);
}

// A run that could reach a mtd_debug other than the simulator (on a board,
// the real tool) is never started, wherever that one lies on its PATH.
TEST(SimulatorOnly, RunThatCouldReachAnotherMtdDebugIsRefused)
{
	Sandbox box;
	mkdir(box.path("bin").c_str(), 0755);
	box.write_file("bin/mtd_debug", box.expand("#!/bin/sh\ntouch {dir}/reached\n"));
	ASSERT_EQ(chmod(box.path("bin/mtd_debug").c_str(), 0755), 0);
	for (const char *path : {"PATH={dir}/bin:/usr/bin:/bin", "PATH=/usr/bin:{dir}/bin",
	                         "PATH=" MTDSIM_BIN_DIR ":bin"})
		EXPECT_THROW(box.run({"sh", "-c", "mtd_debug info /dev/mtd4"}, {path}), std::runtime_error)
			<< path;
	EXPECT_FALSE(box.exists("reached"));
}

} // namespace
