// A scratch folder with Art files and a simulated flash, and a way to run
// artflash (or anything) against it as a separate process.
#ifndef ARTFLASH_TESTS_SANDBOX_H
#define ARTFLASH_TESTS_SANDBOX_H

#include <string>
#include <vector>

constexpr size_t IMAGE_SIZE = 0x10000;
constexpr size_t PARTITION_SIZE = 0x40000;

struct Run {
	int status;  // exit status, or 128 + signal
	std::string out, err;
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
	bool exists(const std::string &name) const;

	// The image every test flashes, and what the partition holds before.
	static const std::string &image();
	static const std::string &old_flash();
	std::string flash() const { return read_file("flash/mtd4"); }

	// The simulator's log, one argument vector per invocation.
	std::vector<std::vector<std::string>> log() const;

	// Run argv in this sandbox's folder, with the simulator first on PATH and
	// its files in this sandbox; "NAME=value" settings in env come first.
	Run run(const std::vector<std::string> &argv,
	        const std::vector<std::string> &env = {}) const;
	// The same for artflash (or a copy of it at binary), under the emulator
	// of a cross build.
	Run artflash(const std::vector<std::string> &args,
	             const std::vector<std::string> &env = {},
	             const std::vector<std::string> &wrapper = {},
	             const std::string &binary = ARTFLASH_BIN) const;

private:
	std::string dir_;
};

#endif
