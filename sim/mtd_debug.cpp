// SPDX-License-Identifier: MIT
// A flash simulator that takes mtd_debug's command lines, for machines with
// no MTD devices. Each device /dev/mtdN is a file mtdN in $MTDSIM_DIR that
// behaves like NOR flash: erase sets whole erase blocks to 0xFF, and a write
// can only clear bits, so writing over data that was not erased corrupts it.
//
// Environment:
//   MTDSIM_DIR        folder of the partition files (required)
//   MTDSIM_SIZE       size of a partition on first use (default 256 KiB)
//   MTDSIM_ERASESIZE  erase block size (default 64 KiB)
//   MTDSIM_LOG        file that gets one line per invocation: the arguments,
//                     blank separated, with blanks, backslashes and
//                     non-printing bytes written as \xHH; then a tab and
//                     "ignored=NAMES blocked=NAMES": the signals it started
//                     with ignored and blocked, comma separated (HUP, INT,
//                     ..., RTMIN+0, ...)
//   MTDSIM_FAIL       comma separated subcommands that fail (exit 1); or
//                     written "<subcommand>:kill", that kill the process
//                     with SIGKILL; "<subcommand>:lost", that exit 0
//                     without doing anything, as a driver that misses a
//                     chip's write protection; "write:flip" and
//                     "write:flip-last", that write the first or the last
//                     byte inverted; "erase:half", that erases the first
//                     half of the range and then fails, as a kernel that
//                     stops at a protected block; "erase:stuck-last", that
//                     exits 0 with the last byte of the range as it was,
//                     as bits that would not erase
//   MTDSIM_DELAY      comma separated "<subcommand>:<milliseconds>": how
//                     long that subcommand pauses where a chip is busy:
//                     an erase once the range is erased, a write halfway
//                     through, read and info before their summary
//
// As the kernel does per chip, one erase, or one half of a write, is done
// at a time: each holds a record lock on the partition file meanwhile.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr unsigned long DEFAULT_SIZE = 0x40000;
constexpr unsigned long DEFAULT_ERASESIZE = 0x10000;
constexpr unsigned char ERASED_BYTE = 0xFF;

struct Partition {
	int fd = -1;
	unsigned long size = 0;
	unsigned long erasesize = 0;
};

int fail(const std::string &what)
{
	fprintf(stderr, "mtd_debug: %s\n", what.c_str());
	return 1;
}

int fail_errno(const std::string &what)
{
	return fail(what + ": " + strerror(errno));
}

// strtoul with base 0, but the whole text must be a number.
bool parse_number(const char *text, unsigned long *value)
{
	char *end;

	if (!(*text >= '0' && *text <= '9'))
		return false;
	errno = 0;
	*value = strtoul(text, &end, 0);
	return errno == 0 && *end == '\0';
}

bool env_number(const char *name, unsigned long fallback, unsigned long *value)
{
	const char *text = getenv(name);

	*value = fallback;
	return !text || (parse_number(text, value) && *value > 0);
}

std::string escape(const char *arg)
{
	std::string out;
	char hex[5];

	for (; *arg; arg++) {
		unsigned char c = *arg;
		if (c > ' ' && c < 0x7f && c != '\\') {
			out += char(c);
		} else {
			snprintf(hex, sizeof(hex), "\\x%02x", c);
			out += hex;
		}
	}
	return out;
}

struct SignalName {
	int sig;
	const char *name;
};

const SignalName SIGNAL_NAMES[] = {
	{SIGHUP, "HUP"}, {SIGINT, "INT"}, {SIGQUIT, "QUIT"}, {SIGILL, "ILL"},
	{SIGTRAP, "TRAP"}, {SIGABRT, "ABRT"}, {SIGBUS, "BUS"}, {SIGFPE, "FPE"},
	{SIGKILL, "KILL"}, {SIGUSR1, "USR1"}, {SIGSEGV, "SEGV"}, {SIGUSR2, "USR2"},
	{SIGPIPE, "PIPE"}, {SIGALRM, "ALRM"}, {SIGTERM, "TERM"}, {SIGCHLD, "CHLD"},
	{SIGCONT, "CONT"}, {SIGSTOP, "STOP"}, {SIGTSTP, "TSTP"}, {SIGTTIN, "TTIN"},
	{SIGTTOU, "TTOU"}, {SIGURG, "URG"}, {SIGXCPU, "XCPU"}, {SIGXFSZ, "XFSZ"},
	{SIGVTALRM, "VTALRM"}, {SIGPROF, "PROF"}, {SIGWINCH, "WINCH"}, {SIGIO, "IO"},
	{SIGPWR, "PWR"}, {SIGSYS, "SYS"},
#ifdef SIGSTKFLT
	{SIGSTKFLT, "STKFLT"},
#endif
#ifdef SIGEMT
	{SIGEMT, "EMT"},
#endif
};

// Names, not numbers: the tests that read them may be built for another
// machine, whose signals are numbered otherwise.
std::string signal_name(int sig)
{
	for (const SignalName &known : SIGNAL_NAMES)
		if (known.sig == sig)
			return known.name;
	if (sig >= SIGRTMIN && sig <= SIGRTMAX)
		return "RTMIN+" + std::to_string(sig - SIGRTMIN);
	return std::to_string(sig);
}

// The signals in a "SigIgn:" or "SigBlk:" mask of /proc/self/status.
std::string signal_names(const char *mask)
{
	std::string names;
	size_t digits = strlen(mask);

	for (size_t i = 0; i < digits; i++) {
		const char hex[] = {mask[digits - 1 - i], '\0'};
		unsigned long nibble = strtoul(hex, nullptr, 16);
		for (int bit = 0; bit < 4; bit++)
			if (nibble & (1u << bit))
				names += (names.empty() ? "" : ",") + signal_name(int(i * 4 + bit + 1));
	}
	return names;
}

// What this process started with, handed on by whoever ran it.
std::string start_signals()
{
	FILE *status = fopen("/proc/self/status", "r");
	std::string ignored, blocked;
	char line[256], mask[64];

	if (!status)
		fail_errno("/proc/self/status");
	while (status && fgets(line, sizeof(line), status)) {
		if (sscanf(line, "SigIgn: %63s", mask) == 1)
			ignored = signal_names(mask);
		if (sscanf(line, "SigBlk: %63s", mask) == 1)
			blocked = signal_names(mask);
	}
	if (status)
		fclose(status);
	return "ignored=" + ignored + " blocked=" + blocked;
}

void log_invocation(int argc, char **argv)
{
	const char *path = getenv("MTDSIM_LOG");
	std::string line;

	if (!path)
		return;
	for (int i = 1; i < argc; i++)
		line += (i > 1 ? " " : "") + escape(argv[i]);
	line += "\t" + start_signals() + "\n";
	// One append per invocation keeps the lines whole.
	int fd = open(path, O_WRONLY | O_APPEND | O_CREAT, 0644);
	if (fd < 0 || write(fd, line.data(), line.size()) != ssize_t(line.size()))
		fail_errno(std::string("log ") + path);
	if (fd >= 0)
		close(fd);
}

// The entry for command in the comma separated list in the variable name:
// true with "" when the command is listed alone, true with what follows
// "<command>:" when it is listed so, false when it is not listed.
bool list_entry(const char *name, const char *command, std::string *value)
{
	const char *list = getenv(name);
	std::string token;
	const std::string prefix = std::string(command) + ":";

	if (!list)
		return false;
	for (const char *p = list;; p++) {
		if (*p != ',' && *p != '\0') {
			token += *p;
			continue;
		}
		if (token == command || token.compare(0, prefix.size(), prefix) == 0) {
			*value = token == command ? "" : token.substr(prefix.size());
			return true;
		}
		token.clear();
		if (*p == '\0')
			return false;
	}
}

// How the subcommand is to go wrong, when it is to go on at all.
std::string fault;

void inject_failure(const char *command)
{
	std::string how;

	if (!list_entry("MTDSIM_FAIL", command, &how))
		return;
	if (how == "kill")
		kill(getpid(), SIGKILL);
	if (how == "lost")
		exit(0);
	fault = how;
	if ((strcmp(command, "write") == 0 && (how == "flip" || how == "flip-last")) ||
	    (strcmp(command, "erase") == 0 && (how == "half" || how == "stuck-last")))
		return;
	fail(std::string(command) + ": injected failure");
	exit(1);
}

// A chip takes its time; this gives a test the time to act mid-command.
// The pause comes after the work a kernel would already have done, so a
// signal then lands on an erased or half-written range, as on hardware.
unsigned long delay_ms;

bool parse_delay(const char *command)
{
	std::string text;

	delay_ms = 0;
	return !list_entry("MTDSIM_DELAY", command, &text) || parse_number(text.c_str(), &delay_ms);
}

void take_time()
{
	struct timespec left = {time_t(delay_ms / 1000), long(delay_ms % 1000) * 1000000};
	while (nanosleep(&left, &left) != 0 && errno == EINTR)
		;
}

bool io_all(int fd, unsigned char *buf, unsigned long len, unsigned long offset, bool writing)
{
	while (len > 0) {
		ssize_t n = writing ? pwrite(fd, buf, len, offset) : pread(fd, buf, len, offset);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			return false;
		buf += n;
		len -= n;
		offset += n;
	}
	return true;
}

// The whole of data from or to the file at path.
bool file_io(const char *path, std::vector<unsigned char> &data, bool writing)
{
	int fd = writing ? open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644) : open(path, O_RDONLY);
	bool whole = fd >= 0 && io_all(fd, data.data(), data.size(), 0, writing);

	if (fd >= 0)
		close(fd);
	return whole;
}

// The partition file is locked for one operation of the chip at a time,
// with a record lock (F_WRLCK, then F_UNLCK): a flock is what artflash
// holds on the device node, which in the tests is this very file, and a
// real mtd_debug takes none.
bool lock_chip(int fd, short type)
{
	struct flock whole = {};
	whole.l_type = type;
	whole.l_whence = SEEK_SET;
	while (fcntl(fd, F_SETLKW, &whole) != 0)
		if (errno != EINTR)
			return false;
	return true;
}

bool locked_io(int fd, unsigned char *buf, unsigned long len, unsigned long offset, bool writing)
{
	if (!lock_chip(fd, F_WRLCK))
		return false;
	bool whole = io_all(fd, buf, len, offset, writing);
	lock_chip(fd, F_UNLCK);
	return whole;
}

// NOR can only clear bits: the data is ANDed into what the chip holds.
bool program(int fd, const unsigned char *data, unsigned long len, unsigned long offset)
{
	std::vector<unsigned char> cells(len);

	if (!lock_chip(fd, F_WRLCK))
		return false;
	bool whole = io_all(fd, cells.data(), len, offset, false);
	for (unsigned long i = 0; whole && i < len; i++)
		cells[i] &= data[i];
	whole = whole && io_all(fd, cells.data(), len, offset, true);
	lock_chip(fd, F_UNLCK);
	return whole;
}

bool create_partition(const std::string &path, unsigned long size)
{
	std::vector<unsigned char> blank(size, ERASED_BYTE);
	return file_io(path.c_str(), blank, true);
}

// Only /dev/mtd<number> names a device; its partition is made, erased, on
// first use.
int open_partition(const char *device, Partition *part)
{
	const char *dir = getenv("MTDSIM_DIR");
	unsigned long size;

	if (!dir)
		return fail("MTDSIM_DIR is not set");
	if (strncmp(device, "/dev/mtd", 8) != 0 || !device[8] ||
	    strspn(device + 8, "0123456789") != strlen(device + 8))
		return fail(std::string(device) + ": No such device");
	if (!env_number("MTDSIM_SIZE", DEFAULT_SIZE, &size) ||
	    !env_number("MTDSIM_ERASESIZE", DEFAULT_ERASESIZE, &part->erasesize) ||
	    size % part->erasesize != 0)
		return fail("bad MTDSIM_SIZE or MTDSIM_ERASESIZE");

	std::string path = std::string(dir) + "/" + (device + strlen("/dev/"));
	if (access(path.c_str(), F_OK) != 0 && !create_partition(path, size))
		return fail_errno(device);
	struct stat st;
	part->fd = open(path.c_str(), O_RDWR);
	if (part->fd < 0 || fstat(part->fd, &st) != 0)
		return fail_errno(device);
	part->size = st.st_size;
	return 0;
}

// Device, offset and length, checked against the partition.
int open_range(char **args, Partition *part, unsigned long *offset, unsigned long *length)
{
	if (!parse_number(args[1], offset))
		return fail(std::string("bad offset: ") + args[1]);
	if (!parse_number(args[2], length))
		return fail(std::string("bad length: ") + args[2]);
	if (open_partition(args[0], part) != 0)
		return 1;
	if (*offset > part->size || *length > part->size - *offset)
		return fail(std::string(args[0]) + ": range is outside the partition");
	return 0;
}

int do_erase(char **args)
{
	Partition part;
	unsigned long offset, length;

	if (open_range(args, &part, &offset, &length) != 0)
		return 1;
	if (offset % part.erasesize != 0 || length % part.erasesize != 0)
		return fail(std::string(args[0]) + ": range is not aligned to the erase block");
	unsigned long blanked = length;
	if (fault == "half")
		blanked = length / 2;
	if (fault == "stuck-last" && length > 0)
		blanked = length - 1;
	std::vector<unsigned char> blank(blanked, ERASED_BYTE);
	if (!locked_io(part.fd, blank.data(), blanked, offset, true))
		return fail_errno(args[0]);
	take_time();
	if (fault == "half")
		return fail(std::string(args[0]) + ": erase stopped half way");
	// The real tool says this one on standard error.
	fprintf(stderr, "Erased %lu bytes from address 0x%.8lx in flash\n", length, offset);
	return 0;
}

int do_write(char **args)
{
	Partition part;
	unsigned long offset, length;

	if (open_range(args, &part, &offset, &length) != 0)
		return 1;
	std::vector<unsigned char> data(length);
	if (!file_io(args[3], data, false))
		return fail(std::string(args[3]) + ": cannot read " + std::to_string(length) + " bytes");
	if (length > 0 && (fault == "flip" || fault == "flip-last"))
		data[fault == "flip" ? 0 : length - 1] ^= 0xFF;
	unsigned long half = length / 2;
	if (!program(part.fd, data.data(), half, offset))
		return fail_errno(args[0]);
	take_time();
	if (!program(part.fd, data.data() + half, length - half, offset + half))
		return fail_errno(args[0]);
	printf("Copied %lu bytes from %s to address 0x%.8lx in flash\n", length, args[3], offset);
	return 0;
}

int do_read(char **args)
{
	Partition part;
	unsigned long offset, length;

	if (open_range(args, &part, &offset, &length) != 0)
		return 1;
	std::vector<unsigned char> data(length);
	if (!locked_io(part.fd, data.data(), length, offset, false))
		return fail_errno(args[0]);
	if (!file_io(args[3], data, true))
		return fail_errno(args[3]);
	take_time();
	printf("Copied %lu bytes from address 0x%.8lx in flash to %s\n", length, offset, args[3]);
	return 0;
}

int do_info(char **args)
{
	Partition part;

	if (open_partition(args[0], &part) != 0)
		return 1;
	take_time();
	printf("mtd.type = MTD_NORFLASH\n"
	       "mtd.flags = MTD_CAP_NORFLASH\n"
	       "mtd.size = %lu (%lu K)\n"
	       "mtd.erasesize = %lu (%lu K)\n"
	       "mtd.writesize = 1\n"
	       "mtd.oobsize = 0\n"
	       "regions = 0\n",
	       part.size, part.size / 1024, part.erasesize, part.erasesize / 1024);
	return 0;
}

struct Command {
	const char *name;
	int args;
	int (*run)(char **args);
};

const Command COMMANDS[] = {
	{"info", 1, do_info},
	{"read", 4, do_read},
	{"write", 4, do_write},
	{"erase", 3, do_erase},
};

int usage()
{
	fprintf(stderr, "usage: mtd_debug info <device>\n"
	                "       mtd_debug read <device> <offset> <length> <dest-file>\n"
	                "       mtd_debug write <device> <offset> <length> <source-file>\n"
	                "       mtd_debug erase <device> <offset> <length>\n");
	return 1;
}

} // namespace

int main(int argc, char **argv)
{
	log_invocation(argc, argv);
	for (const Command &cmd : COMMANDS) {
		if (argc < 2 || strcmp(argv[1], cmd.name) != 0)
			continue;
		if (argc - 2 != cmd.args)
			return usage();
		if (!parse_delay(cmd.name))
			return fail("bad MTDSIM_DELAY");
		inject_failure(cmd.name);
		return cmd.run(argv + 2);
	}
	return usage();
}
