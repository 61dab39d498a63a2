// SPDX-License-Identifier: MIT
// artflash run as a process against the flash simulator: what it prints,
// its exit status, the commands it ran and what the partition holds after.
#include "artflash.h"
#include "case_name.h"
#include "guard.h"
#include "sandbox.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <csignal>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <numeric>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Calls = std::vector<std::vector<std::string>>;

enum class Flash { Untouched, Erased, Image, OtherImage, FirstByteWrong, LastByteWrong, HalfErased, LastByteStuck };

const std::vector<std::string> ERASE = {"erase", "/dev/mtd4", "0x0", "0x10000"};

std::vector<std::string> write_call(const std::string &path)
{
	return {"write", "/dev/mtd4", "0x0", "0x10000", path};
}

const std::string ERASED_LINE = "Erased 65536 bytes from address 0x00000000 in flash\n";

std::string copied_line(const std::string &path)
{
	return "Copied 65536 bytes from " + path + " to address 0x00000000 in flash\n";
}

// Run in the sandbox, anything of this name that the shell runs leaves a file.
const std::string HOSTILE = "{dir}/my art $(touch pwned);'x'`touch pwned`\n*.bin";
const std::string TOO_LONG = "/" + std::string(255, 'a');
const std::string SIZE_MESSAGE = "Art filesize is not 0x10000\n";

// A path of exactly 255 characters: folders in the sandbox, then a file.
std::string longest_path(const Sandbox &box)
{
	std::string path = box.path("");
	while (255 - path.size() > 200) {
		path += std::string(100, 'L');
		mkdir(path.c_str(), 0755);
		path += "/";
	}
	return path + std::string(255 - path.size(), 'F');
}

// Root reads anything, so drop the capabilities that let it.
std::vector<std::string> without_root_powers()
{
	if (geteuid() != 0)
		return {};
	return {"setpriv", "--inh-caps=-dac_override,-dac_read_search",
	        "--bounding-set=-dac_override,-dac_read_search"};
}

// What a second run flashes: every bit the opposite of the image, so that
// any mix of the two shows.
std::string other_image()
{
	std::string bytes = Sandbox::image();
	for (char &byte : bytes)
		byte = char(~byte);
	return bytes;
}

void make_files(const Sandbox &box)
{
	std::string image = Sandbox::image();
	box.write_file("other.bin", other_image());
	box.write_file("short.bin", image.substr(1));
	box.write_file("long.bin", image + "x");
	box.write_file("empty.bin", "");
	// Past 2 GiB: where off_t is 32 bits, stat fails on this one.
	box.write_file("huge.bin", "");
	truncate(box.path("huge.bin").c_str(), 3LL << 30);
	box.write_file(box.expand(HOSTILE).substr(box.path("").size()), image);
	mkdir(box.path("folder").c_str(), 0755);
	mkfifo(box.path("fifo").c_str(), 0644);
	symlink("art.bin", box.path("link.bin").c_str());
	symlink("gone.bin", box.path("dangling.bin").c_str());
}

// A run under an emulator reaches the simulator through the emulator's own
// signals, and the emulator keeps some real-time signals to itself.
const bool EMULATED = std::string(ARTFLASH_EMULATOR).find_first_not_of(' ') != std::string::npos;

// What the commands must start with: exactly these signals ignored, with
// the real-time ones (unless none are given), and at least these blocked.
struct Held {
	std::set<std::string> ignored, blocked;
};

// Every signal that would end or stop the flash step, but SIGKILL and
// SIGSTOP, and those that report a fault of the program's own.
std::set<std::string> stops()
{
	std::set<std::string> names = {"HUP", "INT", "QUIT", "PIPE", "ALRM", "TERM", "USR1",
	                               "USR2", "VTALRM", "PROF", "XCPU", "XFSZ", "PWR", "IO",
	                               "TSTP", "TTIN", "TTOU"};
	if (EMULATED) {
		// Every emulated build is for MIPS, whose SIGEMT has no
		// counterpart here: qemu lends it this machine's SIGSTKFLT.
		names.insert("STKFLT");
	} else {
#ifdef SIGSTKFLT
		names.insert("STKFLT");
#endif
#ifdef SIGEMT
		names.insert("EMT");
#endif
	}
	return names;
}

// Debian's /bin/sh clears the signal mask it inherits.
const Held EVERY_STOP = {stops(), {}};
// A system() that sets SIGINT and SIGQUIT back to their defaults in its
// child, with busybox as the shell, which keeps the mask it inherits (and
// has its own ideas about SIGQUIT).
const Held CLASSIC_SYSTEM = {{}, {"INT", "QUIT"}};

struct FlashCase {
	const char *name;
	std::vector<std::string> args;
	std::vector<std::string> env;
	int status;
	std::string out;
	Calls calls;
	Flash flash;
	Launch launch = {};
	std::string err = {};  // what standard error must start with, if anything
	const Held *held = nullptr;
	std::string binary = ARTFLASH_BIN;
	int overlap_status = 0;        // the second run's, if there is one,
	std::string overlap_err = {};  // and what its standard error starts with
	std::string before = Sandbox::old_flash();  // the partition, as the run finds it
};

// What the C library's getopt says of an unknown option or of a -f with
// no value: the words differ from library to library.
struct Complaint {
	const char *libc, *unknown, *missing, *quote;
};

const Complaint COMPLAINTS[] = {
	{"glibc", ": invalid option -- ", ": option requires an argument -- ", "'"},
	{"uclibc", ": invalid option -- ", ": option requires an argument -- ", ""},
	{"musl", ": unrecognized option: ", ": option requires an argument: ", ""},
};

std::string getopt_complaint(bool unknown, char letter)
{
	for (const Complaint &c : COMPLAINTS)
		if (std::string(c.libc) == ARTFLASH_LIBC)
			return ARTFLASH_BIN + std::string(unknown ? c.unknown : c.missing) + c.quote +
			       letter + c.quote + "\n";
	return "no getopt complaint known for " ARTFLASH_LIBC;
}

FlashCase complained(FlashCase c, const std::string &err)
{
	c.err = err;
	return c;
}

// A successful flash of path: the simulator's line and nothing else.
FlashCase flashed(const char *name, std::vector<std::string> args, const std::string &path)
{
	return {name, args, {}, 0, copied_line(path), {ERASE, write_call(path)}, Flash::Image};
}

// A flash that something the operator did not choose tries to spoil:
// the partition must hold the image all the same.
FlashCase survives(const char *name, std::vector<std::string> env, Launch launch,
                   const std::string &out)
{
	return {name, {"-f", "{dir}/art.bin"}, env, 0, out,
	        {ERASE, write_call("{dir}/art.bin")}, Flash::Image, launch};
}

Launch signal_at(int signal, size_t call)
{
	Launch launch;
	launch.signal = signal;
	launch.after_calls = call;
	return launch;
}

// What an alarm set by the launcher, or a supervisor's kill, does: the
// signal reaches artflash alone, not the commands it runs.
Launch signal_alone_at(int signal, size_t call)
{
	Launch launch = signal_at(signal, call);
	launch.to_group = false;
	return launch;
}

Launch closed(std::vector<int> fds)
{
	Launch launch;
	launch.closed = fds;
	return launch;
}

Launch dead_pipe()
{
	Launch launch;
	launch.dead_pipe = true;
	return launch;
}

Launch wrapped(std::vector<std::string> words)
{
	Launch launch;
	launch.wrapper = words;
	return launch;
}

// A launcher's limit of open files, with what it left open.
Launch open_files(int limit, const std::string &left_open = "")
{
	return wrapped({"prlimit", "--nofile=" + std::to_string(limit), "sh", "-c", left_open + "exec \"$@\"", "sh"});
}

// A launcher that ignores SIGCHLD hands the ignore on through exec.
const Launch SIGCHLD_IGNORED = wrapped({"env", "--ignore-signal=CHLD"});

FlashCase holding(FlashCase c, const Held &held)
{
	c.held = &held;
	return c;
}

// A factory-new board's partition, and one that already holds the image.
const std::string BLANK(PARTITION_SIZE, '\xff');
const std::string IMAGE_THERE = Sandbox::image() + Sandbox::old_flash().substr(ART_IMAGE_SIZE);

FlashCase starting(FlashCase c, const std::string &before)
{
	c.before = before;
	return c;
}

// A second run, of other.bin, started while the first is at call `call`:
// it waits for the first to end, then flashes its own image. The first
// never waits.
FlashCase overlapped(const char *name, const std::string &delay, size_t call,
                     Launch launch = {}, int status = 0, std::string overlap_err = {})
{
	launch.after_calls = call;
	launch.overlap = {"-f", "{dir}/other.bin"};
	FlashCase c = {name, {"-f", "{dir}/art.bin"}, {delay}, status, copied_line("{dir}/art.bin"),
	               {ERASE, write_call("{dir}/art.bin"), ERASE, write_call("{dir}/other.bin")},
	               Flash::OtherImage, launch, ERASED_LINE};
	c.overlap_err = overlap_err;
	return c;
}

// Ctrl-C to a second run while it waits: it ends with nothing of its own
// done, and the first run's image is there.
FlashCase interrupted_while_waiting()
{
	FlashCase c = overlapped("Ctrl-C to a waiting run", "MTDSIM_DELAY=erase:1000", 1);
	c.launch.overlap_signal = SIGINT;
	c.calls.resize(2);
	c.flash = Flash::Image;
	c.overlap_status = 128 + SIGINT;
	c.overlap_err = FLASH_BUSY_MESSAGE;
	return c;
}

// What the chip or its driver did not do, though mtd_debug exited 0.
FlashCase unverified(const char *name, const std::string &fail, Flash flash,
                     const std::string &tool_out = "")
{
	return {name, {"-f", "{dir}/art.bin"}, {"MTDSIM_FAIL=" + fail}, 255, tool_out + "Art verify failed\n",
	        {ERASE, write_call("{dir}/art.bin")}, flash};
}

// The private /dev/mtd4 made into something else before artflash starts:
// only a refusal leaves the partition untouched.
FlashCase unreadable_node(const char *name, const std::string &make)
{
	return {name, {"-f", "{dir}/art.bin"}, {}, 255,
	        "Art partition /dev/mtd4 is not readable\n", {}, Flash::Untouched,
	        wrapped({"sh", "-c", "umount /dev/mtd4 && rm /dev/mtd4 && " + make + " && exec \"$@\"", "sh"})};
}

FlashCase refused(const char *name, std::vector<std::string> args, const std::string &out,
                  Launch launch = {})
{
	return {name, args, {}, 255, out, {}, Flash::Untouched, launch};
}

// glibc's and uClibc-ng's getopt move operands out of the way and read a -f
// after one; musl's stops at the first operand, as POSIX has it.
FlashCase option_after_operand()
{
	const char *name = "-f after an operand";
	const std::vector<std::string> args = {"-f", "{dir}/short.bin", "/dev/mtd0", "-f", "{dir}/art.bin"};
	if (std::string(ARTFLASH_LIBC) == "musl")
		return refused(name, args, SIZE_MESSAGE);
	return flashed(name, args, "{dir}/art.bin");
}

const FlashCase FLASH_CASES[] = {
	flashed("separate value", {"-f", "{dir}/art.bin"}, "{dir}/art.bin"),
	flashed("attached value", {"-f{dir}/art.bin"}, "{dir}/art.bin"),
	flashed("last -f wins", {"-f", "{dir}/gone.bin", "-f", "{dir}/art.bin"}, "{dir}/art.bin"),
	complained(flashed("unknown option ignored", {"-h", "-f", "{dir}/art.bin"}, "{dir}/art.bin"),
	           getopt_complaint(true, 'h')),
	complained(flashed("dangling -f ignored", {"-f", "{dir}/art.bin", "-f"}, "{dir}/art.bin"),
	           getopt_complaint(false, 'f')),
	flashed("operands ignored", {"-f", "{dir}/art.bin", "/dev/mtd0"}, "{dir}/art.bin"),
	option_after_operand(),
	{"-f after an operand, POSIXLY_CORRECT", {"-f", "{dir}/short.bin", "/dev/mtd0", "-f", "{dir}/art.bin"},
	 {"POSIXLY_CORRECT=1"}, 255, SIZE_MESSAGE, {}, Flash::Untouched},
	flashed("symlink keeps its name", {"-f", "{dir}/link.bin"}, "{dir}/link.bin"),
	flashed("hostile name", {"-f", HOSTILE}, HOSTILE),
	flashed("too long then short", {"-f", TOO_LONG, "-f", "{dir}/art.bin"}, "{dir}/art.bin"),
	refused("missing", {"-f", "{dir}/gone.bin"}, "Art file {dir}/gone.bin is not exist\n"),
	refused("dangling symlink", {"-f", "{dir}/dangling.bin"}, "Art file {dir}/dangling.bin is not exist\n"),
	refused("one byte short", {"-f", "{dir}/short.bin"}, SIZE_MESSAGE),
	refused("one byte long", {"-f", "{dir}/long.bin"}, SIZE_MESSAGE),
	refused("empty", {"-f", "{dir}/empty.bin"}, SIZE_MESSAGE),
	refused("over 2 GiB", {"-f", "{dir}/huge.bin"}, SIZE_MESSAGE),
	refused("directory", {"-f", "{dir}/folder"}, SIZE_MESSAGE),
	refused("fifo", {"-f", "{dir}/fifo"}, SIZE_MESSAGE),
	refused("device node", {"-f", "/dev/null"}, SIZE_MESSAGE),
	refused("path too long", {"-f", TOO_LONG}, "Art file path is too long\n"),
	refused("short then too long", {"-f", "{dir}/art.bin", "-f" + TOO_LONG}, "Art file path is too long\n"),
	{"erase fails", {"-f", "{dir}/art.bin"}, {"MTDSIM_FAIL=erase"}, 255,
	 "Art erase failed\n", {ERASE}, Flash::Untouched},
	{"erase killed", {"-f", "{dir}/art.bin"}, {"MTDSIM_FAIL=erase:kill"}, 255,
	 "Art erase failed\n", {ERASE}, Flash::Untouched},
	{"erase stops half way", {"-f", "{dir}/art.bin"}, {"MTDSIM_FAIL=erase:half"}, 255,
	 "Art erase failed\n", {ERASE}, Flash::HalfErased},
	starting({"erase fails, image already there", {"-f", "{dir}/art.bin"}, {"MTDSIM_FAIL=erase"}, 255,
	          "Art erase failed\n", {ERASE}, Flash::Untouched}, IMAGE_THERE),
	// An erase that exits 0 leaving the range not erased: no write follows.
	// Logged as a factory line logs (2>&1), the note comes after the message.
	{"erase lost, logged with 2>&1", {"-f", "{dir}/art.bin"}, {"MTDSIM_FAIL=erase:lost"}, 255,
	 "Art erase failed\nArt partition still holds its old data\n", {ERASE}, Flash::Untouched,
	 wrapped({"sh", "-c", "exec \"$@\" 2>&1", "sh"})},
	{"erase leaves the last byte", {"-f", "{dir}/art.bin"}, {"MTDSIM_FAIL=erase:stuck-last"}, 255,
	 "Art erase failed\n", {ERASE}, Flash::LastByteStuck},
	{"chip ignores erase and write", {"-f", "{dir}/art.bin"}, {"MTDSIM_FAIL=erase:lost,write:lost"}, 255,
	 "Art erase failed\n", {ERASE}, Flash::Untouched},
	{"no mtd_debug", {"-f", "{dir}/art.bin"}, {"PATH=/usr/bin:/bin"}, 255,
	 "Art erase failed\n", {}, Flash::Untouched},
	{"write fails", {"-f", "{dir}/art.bin"}, {"MTDSIM_FAIL=write"}, 255,
	 "Art write failed\n", {ERASE, write_call("{dir}/art.bin")}, Flash::Erased},
	starting({"write fails on a blank board", {"-f", "{dir}/art.bin"}, {"MTDSIM_FAIL=write"}, 255,
	          "Art write failed\n", {ERASE, write_call("{dir}/art.bin")}, Flash::Erased}, BLANK),
	{"write killed", {"-f", "{dir}/art.bin"}, {"MTDSIM_FAIL=write:kill"}, 255,
	 "Art write failed\n", {ERASE, write_call("{dir}/art.bin")}, Flash::Erased},
	survives("hang-up during erase", {"MTDSIM_DELAY=erase:1000"}, signal_at(SIGHUP, 1),
	         copied_line("{dir}/art.bin")),
	survives("hang-up during write", {"MTDSIM_DELAY=write:1000"}, signal_at(SIGHUP, 2),
	         copied_line("{dir}/art.bin")),
	survives("output on a dead pipe", {}, dead_pipe(), ""),
	survives("started with SIGCHLD ignored", {}, SIGCHLD_IGNORED, copied_line("{dir}/art.bin")),
	survives("standard input closed", {}, closed({0}), copied_line("{dir}/art.bin")),
	survives("standard output closed", {}, closed({1}), ""),
	survives("standard error closed", {}, closed({2}), copied_line("{dir}/art.bin")),
	survives("all standard streams closed", {}, closed({0, 1, 2}), ""),
	// The write's mtd_debug opens two files beside all it inherits, the lock among them.
	refused("open files limit 4", {"-f", "{dir}/art.bin"}, NO_DESCRIPTOR_MESSAGE, open_files(4)),
	refused("open files limit 5", {"-f", "{dir}/art.bin"}, NO_DESCRIPTOR_MESSAGE, open_files(5)),
	survives("open files limit 6", {}, open_files(6), copied_line("{dir}/art.bin")),
	refused("launcher left files open up to its limit", {"-f", "{dir}/art.bin"}, NO_DESCRIPTOR_MESSAGE,
	        open_files(8, "exec 3</dev/null 4</dev/null 5</dev/null; ")),
	complained(survives("run inside flock /dev/mtd4", {}, wrapped({"timeout", "-s", "KILL", "60", "flock", "/dev/mtd4"}),
	                    copied_line("{dir}/art.bin")), ERASED_LINE),
	{"erase blocks over 64 KiB", {"-f", "{dir}/art.bin"}, {"MTDSIM_ERASESIZE=0x20000"}, 255,
	 "Art erase failed\n", {ERASE}, Flash::Untouched},
	survives("Ctrl-C during erase", {"MTDSIM_DELAY=erase:1000"}, signal_at(SIGINT, 1),
	         copied_line("{dir}/art.bin")),
	survives("Ctrl-C during write", {"MTDSIM_DELAY=write:1000"}, signal_at(SIGINT, 2),
	         copied_line("{dir}/art.bin")),
	survives("SIGTERM to the group during erase", {"MTDSIM_DELAY=erase:1000"},
	         signal_at(SIGTERM, 1), copied_line("{dir}/art.bin")),
	survives("launcher's alarm during erase", {"MTDSIM_DELAY=erase:1000"},
	         signal_alone_at(SIGALRM, 1), copied_line("{dir}/art.bin")),
	survives("SIGTERM to artflash alone during write", {"MTDSIM_DELAY=write:1000"},
	         signal_alone_at(SIGTERM, 2), copied_line("{dir}/art.bin")),
	survives("Ctrl-Z during erase", {"MTDSIM_DELAY=erase:1000"}, signal_at(SIGTSTP, 1),
	         copied_line("{dir}/art.bin")),
	survives("terminal stop during write", {"MTDSIM_DELAY=write:1000"}, signal_at(SIGTTOU, 2),
	         copied_line("{dir}/art.bin")),
	holding(flashed("every stop held for both commands", {"-f", "{dir}/art.bin"}, "{dir}/art.bin"),
	        EVERY_STOP),
#ifdef ARTFLASH_CLASSIC_SYSTEM_BIN
	{"Ctrl-C during erase, classic system()", {"-f", "{dir}/art.bin"}, {"MTDSIM_DELAY=erase:1000"},
	 0, copied_line("{dir}/art.bin"), {ERASE, write_call("{dir}/art.bin")}, Flash::Image,
	 signal_at(SIGINT, 1), "", &CLASSIC_SYSTEM, ARTFLASH_CLASSIC_SYSTEM_BIN},
#endif
	overlapped("second run during erase", "MTDSIM_DELAY=erase:1000", 1, {}, 0,
	           FLASH_BUSY_MESSAGE + ERASED_LINE),
	overlapped("second run during write", "MTDSIM_DELAY=write:1000", 2),
	overlapped("first killed mid-write, second at once", "MTDSIM_DELAY=write:1000", 2,
	           signal_alone_at(SIGKILL, 2), 128 + SIGKILL),
	interrupted_while_waiting(),
	unverified("write lost", "write:lost", Flash::Erased),
	starting(unverified("write lost on a blank board", "write:lost", Flash::Erased), BLANK),
	unverified("write one byte wrong", "write:flip", Flash::FirstByteWrong,
	           copied_line("{dir}/art.bin")),
	unverified("write last byte wrong", "write:flip-last", Flash::LastByteWrong,
	           copied_line("{dir}/art.bin")),
	unreadable_node("partition node a symlink loop", "ln -s mtd4 /dev/mtd4"),
	unreadable_node("partition node a FIFO", "mkfifo /dev/mtd4"),
	unreadable_node("partition node under 64 KiB", "head -c 65535 /dev/zero >/dev/mtd4"),
};

// The partition after a run that found bytes there.
std::string expected_flash(Flash flash, std::string bytes = Sandbox::old_flash())
{
	const char stuck = bytes[ART_IMAGE_SIZE - 1];
	const size_t erased = flash == Flash::HalfErased ? ART_IMAGE_SIZE / 2 : ART_IMAGE_SIZE;
	if (flash == Flash::Erased || flash == Flash::HalfErased || flash == Flash::LastByteStuck)
		bytes.replace(0, erased, erased, '\xff');
	if (flash == Flash::Image || flash == Flash::FirstByteWrong || flash == Flash::LastByteWrong)
		bytes.replace(0, ART_IMAGE_SIZE, Sandbox::image());
	if (flash == Flash::OtherImage)
		bytes.replace(0, ART_IMAGE_SIZE, other_image());
	if (flash == Flash::FirstByteWrong || flash == Flash::LastByteWrong)
		bytes[flash == Flash::FirstByteWrong ? 0 : ART_IMAGE_SIZE - 1] ^= 0xFF;
	if (flash == Flash::LastByteStuck)
		bytes[ART_IMAGE_SIZE - 1] = stuck;
	return bytes;
}

// What a run must say the range holds, on standard error, after a failure
// once the erase has begun (whose message ends in "failed"): the first
// that is true.
std::string note_for(const FlashCase &c)
{
	const std::string failed = "failed\n";
	if (c.out.size() < failed.size() || c.out.compare(c.out.size() - failed.size(), failed.size(), failed))
		return "";
	const std::string range = expected_flash(c.flash, c.before).substr(0, ART_IMAGE_SIZE);
	if (range == Sandbox::image())
		return "Art partition holds the new image\n";
	if (range == BLANK.substr(0, ART_IMAGE_SIZE))
		return "Art partition is erased: flash it again before powering off\n";
	if (range == c.before.substr(0, ART_IMAGE_SIZE))
		return "Art partition still holds its old data\n";
	return "Art partition holds neither its old data nor the image: flash it again before powering off\n";
}

void expect_run(const Sandbox &box, const Run &run, int status, const std::string &out,
                const Calls &calls, Flash flash, const std::string &before = Sandbox::old_flash())
{
	EXPECT_EQ(run.status, status) << run.err;
	EXPECT_EQ(run.out, box.expand(out));
	Calls expanded = calls;
	for (auto &call : expanded)
		for (auto &arg : call)
			arg = box.expand(arg);
	EXPECT_EQ(box.log(), expanded);
	EXPECT_TRUE(box.flash() == expected_flash(flash, before)) << "partition content differs";
	EXPECT_FALSE(box.exists("pwned")) << "the shell ran part of a path";
}

void expect_held(const Sandbox &box, const Held &held)
{
	std::set<std::string> realtime;
	for (int sig = SIGRTMIN; sig <= SIGRTMAX; sig++)
		realtime.insert("RTMIN+" + std::to_string(sig - SIGRTMIN));
	for (const StartSignals &call : box.start_signals()) {
		// Signals the simulator can only number lie below SIGRTMIN: the C
		// library's own, which the harness's posix_spawn ignores.
		std::set<std::string> named, rt;
		for (const std::string &name : call.ignored)
			if (!isdigit((unsigned char)name[0]))
				(name.rfind("RTMIN+", 0) == 0 ? rt : named).insert(name);
		if (!held.ignored.empty()) {
			EXPECT_EQ(named, held.ignored);
			if (EMULATED) {
				EXPECT_FALSE(rt.empty()) << "no real-time signal is ignored";
			} else {
				EXPECT_EQ(rt, realtime);
			}
		}
		for (const std::string &name : held.blocked)
			EXPECT_EQ(call.blocked.count(name), 1u) << name << " is not blocked";
	}
}

// What a row needs that this build or machine lacks, if anything.
std::string missing_for(const FlashCase &c)
{
	if (c.binary.empty())
		return "this build has no busybox for a classic system()";
	const std::string words = std::accumulate(c.launch.wrapper.begin(), c.launch.wrapper.end(), c.out);
	const bool reads_node = !c.launch.overlap.empty() || !note_for(c).empty() ||
	                        std::regex_search(words, std::regex("Art partition|Art flash|/dev/mtd4"));
	if (reads_node && !Sandbox::private_dev())
		return "needs root and a mount namespace for a /dev/mtd4 of its own";
	return "";
}

// A skip on a developer's machine; CI has everything.
#define SKIP_UNLESS_CI(why) \
	do { \
		if (under_ci()) \
			FAIL() << (why); \
		GTEST_SKIP() << (why); \
	} while (0)

void PrintTo(const FlashCase &c, std::ostream *os) { *os << c.name; }

class FlashRun : public testing::TestWithParam<FlashCase> {};

TEST_P(FlashRun, PrintsExitsAndFlashes)
{
	const FlashCase &c = GetParam();
	const std::string missing = missing_for(c);
	if (!missing.empty())
		SKIP_UNLESS_CI(missing);
	Sandbox box;
	make_files(box);
	box.write_file("flash/mtd4", c.before);
	const ::Run run = box.artflash(c.args, c.env, c.launch, c.binary);
	expect_run(box, run, c.status, c.out, c.calls, c.flash, c.before);
	EXPECT_EQ(run.err.substr(0, c.err.size()), c.err);
	const size_t note = run.err.find("Art partition");
	EXPECT_EQ(note == std::string::npos ? "" : run.err.substr(note), note_for(c));
	if (!c.launch.overlap.empty()) {
		EXPECT_EQ(run.overlap_status, c.overlap_status) << "the second run";
		EXPECT_EQ(run.overlap_err.substr(0, c.overlap_err.size()), c.overlap_err);
	}
	if (c.held)
		expect_held(box, *c.held);
}

INSTANTIATE_TEST_SUITE_P(CommandLines, FlashRun, testing::ValuesIn(FLASH_CASES), CaseName());

TEST(FlashRunLongest, PathOf255CharactersIsFlashed)
{
	Sandbox box;
	std::string path = longest_path(box);
	ASSERT_EQ(path.size(), 255u);
	box.write_file(path.substr(box.path("").size()), Sandbox::image());
	expect_run(box, box.artflash({"-f", path}), 0, copied_line(path),
	           {ERASE, write_call(path)}, Flash::Image);
}

// The default path lives in /tmp, so the run gets a /tmp of its own: the
// sandbox's tmp folder. That hides the real /tmp, and this build with it
// when it lies there, so the folder holds everything the run needs. The
// emulator's sysroot may lie there too: it stays where it was, mounted
// into the private /tmp.
std::string private_tmp_script()
{
	std::string script, word;
	std::istringstream emulator(ARTFLASH_EMULATOR);
	while (emulator >> word)
		if (word.rfind("/tmp/", 0) == 0)
			script += "mkdir -p \"$0" + word.substr(4) + "\" && mount --bind '" + word +
			          "' \"$0" + word.substr(4) + "\" && ";
	return script + "mount --rbind \"$0\" /tmp && exec \"$@\"";
}

TEST(FlashRunDefault, NoArgumentsFlashesTmpArtBin)
{
	if (geteuid() != 0)
		SKIP_UNLESS_CI("needs root for a private /tmp");
	Sandbox box;
	mkdir(box.path("tmp").c_str(), 0755);
	mkdir(box.path("tmp/bin").c_str(), 0755);
	ASSERT_EQ(rename(box.path("flash").c_str(), box.path("tmp/flash").c_str()), 0);
	ASSERT_EQ(symlink("tmp/flash", box.path("flash").c_str()), 0);
	ASSERT_EQ(symlink("tmp/log", box.path("log").c_str()), 0);
	std::filesystem::copy_file(ARTFLASH_BIN, box.path("tmp/artflash"));
	std::filesystem::copy_file(std::string(MTDSIM_BIN_DIR) + "/mtd_debug", box.path("tmp/bin/mtd_debug"));
	const std::vector<std::string> private_tmp = {
		"unshare", "-m", "sh", "-c", private_tmp_script(), "{dir}/tmp"};
	const std::vector<std::string> env = {
		"PATH=/tmp/bin:/usr/bin:/bin", "MTDSIM_DIR=/tmp/flash", "MTDSIM_LOG=/tmp/log"};

	expect_run(box, box.artflash({}, env, wrapped(private_tmp), "/tmp/artflash"), 255,
	           "Art file /tmp/art.bin is not exist\n", {}, Flash::Untouched);
	box.write_file("tmp/art.bin", Sandbox::image());
	expect_run(box, box.artflash({}, env, wrapped(private_tmp), "/tmp/artflash"), 0,
	           copied_line("/tmp/art.bin"), {ERASE, write_call("/tmp/art.bin")}, Flash::Image);
}

// With standard input closed and no null device to put on it, the device
// itself could become a child's standard stream: nothing may run.
TEST(FlashRunNoNullDevice, ClosedStreamThatCannotBeFilledIsRefused)
{
	if (geteuid() != 0)
		SKIP_UNLESS_CI("needs root for a private /dev/null");
	Sandbox box;
	box.write_file("null", "");
	ASSERT_EQ(chmod(box.path("null").c_str(), 0), 0);
	std::vector<std::string> words = {
		"unshare", "-m", "sh", "-c", "mount --bind \"$0\" /dev/null && exec \"$@\" <&-", "{dir}/null"};
	for (const std::string &word : without_root_powers())
		words.push_back(word);
	expect_run(box, box.artflash({"-f", "{dir}/art.bin"}, {}, wrapped(words)), 255,
	           "Art standard streams cannot be opened\n", {}, Flash::Untouched);
}

TEST(FlashRunPermissions, UnreadableFileIsNeverErased)
{
	Sandbox box;
	ASSERT_EQ(chmod(box.path("art.bin").c_str(), 0), 0);
	expect_run(box, box.artflash({"-f", "{dir}/art.bin"}, {}, wrapped(without_root_powers())), 255,
	           "Art file {dir}/art.bin is not readable\n", {}, Flash::Untouched);
}

TEST(FlashRunPermissions, UnsearchableFolderIsNotExist)
{
	Sandbox box;
	mkdir(box.path("locked").c_str(), 0755);
	box.write_file("locked/art.bin", Sandbox::image());
	ASSERT_EQ(chmod(box.path("locked").c_str(), 0), 0);
	expect_run(box, box.artflash({"-f", "{dir}/locked/art.bin"}, {}, wrapped(without_root_powers())), 255,
	           "Art file {dir}/locked/art.bin is not exist\n", {}, Flash::Untouched);
	chmod(box.path("locked").c_str(), 0755);
}

} // namespace
