// SPDX-License-Identifier: MIT
// A scratch folder with Art files and a simulated flash, and a way to run
// artflash (or anything) against it as a separate process.
#ifndef ARTFLASH_TESTS_SANDBOX_H
#define ARTFLASH_TESTS_SANDBOX_H

#include <unistd.h>

#include <set>
#include <string>
#include <vector>

constexpr size_t PARTITION_SIZE = 0x40000;

// How a run is started, and what happens to it on the way. Each run has a
// process group of its own, its standard streams alone and every signal at its default.
struct Launch {
	std::vector<std::string> wrapper;       // run first, with the command after it
	std::vector<int> closed = {};           // standard descriptors it starts without
	bool dead_pipe = false;                 // standard output and error on a pipe nobody reads
	int signal = 0;                         // sent to its process group once the
	size_t after_calls = 0;                 // simulator has logged this many calls,
	bool to_group = true;                   // or to the process alone;
	std::vector<std::string> overlap = {};  // then a second run of this command,
	int overlap_signal = 0;                 // sent this once it says it waits
};

struct Run {
	int status;  // exit status, or 128 + signal
	std::string out, err;
	int overlap_status = -1;  // the second run's, when there was one, and its
	std::string overlap_err;  // standard error
};

// Under CI what a developer's machine may lack is there: a skip is a failure.
bool under_ci();

// The signals a command started with ignored and blocked, by name ("INT",
// "RTMIN+0"), as the simulator saw them.
struct StartSignals {
	std::set<std::string> ignored, blocked;
};

class Sandbox {
public:
	Sandbox();
	~Sandbox();
	Sandbox(const Sandbox &) = delete;
	Sandbox &operator=(const Sandbox &) = delete;

	// Replace each "{dir}" in text with this sandbox's folder.
	std::string expand(const std::string &text) const;
	std::string path(const std::string &name) const { return dir_ + "/" + name; }
	void write_file(const std::string &name, const std::string &bytes) const;
	std::string read_file(const std::string &name) const;
	bool exists(const std::string &name) const { return access(path(name).c_str(), F_OK) == 0; }

	// The image every test flashes, and what the partition holds before.
	static const std::string &image();
	static const std::string &old_flash();
	std::string flash() const { return read_file("flash/mtd4"); }

	// The simulator's log, one argument vector per invocation.
	std::vector<std::vector<std::string>> log() const;
	// What each invocation started with.
	std::vector<StartSignals> start_signals() const;

	// Give this process the environment a run gets, for a test that runs
	// the flash step in its own process.
	void use_here() const;

	// Whether runs get a /dev of their own whose mtd4 is the partition.
	static bool private_dev();

	// Run argv in this sandbox's folder, with the simulator first on PATH and
	// its files in this sandbox; "NAME=value" settings in env come first.
	Run run(const std::vector<std::string> &argv,
	        const std::vector<std::string> &env = {}, const Launch &launch = {}) const;
	// The same for artflash (or a copy of it at binary), under the emulator
	// of a cross build.
	Run artflash(const std::vector<std::string> &args,
	             const std::vector<std::string> &env = {},
	             const Launch &launch = {},
	             const std::string &binary = ARTFLASH_BIN) const;

private:
	std::vector<std::string> environment(const std::vector<std::string> &env) const;
	pid_t spawn(std::vector<std::string> command, std::vector<std::string> &vars,
	            const Launch &launch, const std::string &tag) const;

	std::string dir_;
};

#endif
