// SPDX-License-Identifier: MIT
// Scratch folders with a simulated flash, and artflash run as a process.
#include "sandbox.h"
#include "artflash.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>

extern char **environ;

namespace {

std::string pattern(size_t size, unsigned seed)
{
	std::string bytes(size, '\0');
	for (size_t i = 0; i < size; i++) {
		seed = seed * 1103515245u + 12345u;
		bytes[i] = char(seed >> 16);
	}
	return bytes;
}

std::vector<std::string> split(const std::string &text, char sep)
{
	std::vector<std::string> parts;
	std::stringstream in(text);
	std::string part;
	while (std::getline(in, part, sep))
		parts.push_back(part);
	return parts;
}

std::string unescape(const std::string &word)
{
	std::string out;
	for (size_t i = 0; i < word.size(); i++) {
		if (word[i] == '\\' && i + 3 < word.size() && word[i + 1] == 'x') {
			out += char(std::stoi(word.substr(i + 2, 2), nullptr, 16));
			i += 3;
		} else {
			out += word[i];
		}
	}
	return out;
}

// Add NAME=value unless NAME is set already.
void set_var(std::vector<std::string> *vars, const std::string &var)
{
	std::string name = var.substr(0, var.find('=') + 1);
	for (const std::string &set : *vars)
		if (set.compare(0, name.size(), name) == 0)
			return;
	vars->push_back(var);
}

// On a board with mtd-utils any mtd_debug but the simulator is the real
// tool, and /dev/mtd4 the real flash: a run that could reach one, or
// that has no simulator to stop the search, is not started.
void check_only_simulator(const std::string &search_path, const std::string &cwd)
{
	const std::string simulator = std::string(MTDSIM_BIN_DIR) + "/mtd_debug";
	if (access(simulator.c_str(), X_OK) != 0)
		throw std::runtime_error("no flash simulator at " + simulator);
	for (const std::string &dir : split(search_path, ':')) {
		std::string tool = (dir.empty() || dir[0] != '/' ? cwd + "/" + dir : dir) + "/mtd_debug";
		if (dir != MTDSIM_BIN_DIR && access(tool.c_str(), F_OK) == 0)
			throw std::runtime_error("a run could reach " + tool + ", which may be the real tool");
	}
}

// A run that stops (Ctrl-Z, a terminal stop) would wait for ever: it is
// a failure, and its group is ended.
int await(pid_t pid)
{
	int status;
	for (;;) {
		if (waitpid(pid, &status, WUNTRACED) != pid)
			throw std::runtime_error("cannot wait for a run");
		if (!WIFSTOPPED(status))
			return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
		ADD_FAILURE() << "the run stopped on signal " << WSTOPSIG(status);
		kill(-pid, SIGKILL);
		kill(-pid, SIGCONT);
	}
}

// Timed from an event, not the clock: the command has got that far,
// however slow the machine or its emulator. False when the run ended first.
bool running_when(pid_t pid, const std::function<bool()> &event)
{
	for (siginfo_t info = {}; !event(); usleep(1000))
		if (waitid(P_PID, pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid)
			return false;
	return true;
}

// The emulator's words (a cross build's), artflash, its arguments.
std::vector<std::string> artflash_command(const std::string &binary,
                                          const std::vector<std::string> &args)
{
	std::vector<std::string> argv;
	for (const std::string &word : split(ARTFLASH_EMULATOR, ' '))
		if (!word.empty())
			argv.push_back(word);
	argv.push_back(binary);
	argv.insert(argv.end(), args.begin(), args.end());
	return argv;
}

} // namespace

Sandbox::Sandbox()
{
	dir_ = SCRATCH_DIR "/XXXXXX";
	mkdir(SCRATCH_DIR, 0755);
	if (!mkdtemp(dir_.data()))
		throw std::runtime_error("mkdtemp " + dir_);
	chmod(dir_.c_str(), 0755);
	mkdir(path("flash").c_str(), 0755);
	write_file("flash/mtd4", old_flash());
	write_file("art.bin", image());
}

Sandbox::~Sandbox()
{
	std::error_code ignored;
	std::filesystem::remove_all(dir_, ignored);
}

std::string Sandbox::expand(const std::string &text) const
{
	std::string out = text;
	for (size_t at = out.find("{dir}"); at != std::string::npos; at = out.find("{dir}", at))
		out.replace(at, 5, dir_);
	return out;
}

void Sandbox::write_file(const std::string &name, const std::string &bytes) const
{
	std::ofstream out(path(name), std::ios::binary | std::ios::trunc);
	if (!(out << bytes) || !out.flush())
		throw std::runtime_error("cannot write " + path(name));
}

std::string Sandbox::read_file(const std::string &name) const
{
	std::ifstream in(path(name), std::ios::binary);
	return std::string(std::istreambuf_iterator<char>(in), {});
}

const std::string &Sandbox::image()
{
	static const std::string bytes = pattern(ART_IMAGE_SIZE, 1);
	return bytes;
}

const std::string &Sandbox::old_flash()
{
	static const std::string bytes = pattern(PARTITION_SIZE, 2);
	return bytes;
}

std::vector<std::vector<std::string>> Sandbox::log() const
{
	std::vector<std::vector<std::string>> calls;
	for (const std::string &line : split(read_file("log"), '\n')) {
		calls.emplace_back();
		for (const std::string &word : split(line.substr(0, line.find('\t')), ' '))
			calls.back().push_back(unescape(word));
	}
	return calls;
}

std::vector<StartSignals> Sandbox::start_signals() const
{
	std::vector<StartSignals> calls;
	for (const std::string &line : split(read_file("log"), '\n')) {
		std::string ignored, blocked;
		std::istringstream fields(line.substr(line.find('\t') + 1));
		if (!(fields >> ignored >> blocked) || ignored.rfind("ignored=", 0) || blocked.rfind("blocked=", 0))
			throw std::runtime_error("no signal sets in the simulator's log: " + line);
		calls.push_back({});
		for (const std::string &name : split(ignored.substr(8), ','))
			calls.back().ignored.insert(name);
		for (const std::string &name : split(blocked.substr(8), ','))
			calls.back().blocked.insert(name);
	}
	return calls;
}

std::vector<std::string> Sandbox::environment(const std::vector<std::string> &env) const
{
	std::vector<std::string> vars;
	for (const std::string &var : env)
		set_var(&vars, expand(var));
	// The simulator's folder, then the system's tools: checked below.
	set_var(&vars, "PATH=" MTDSIM_BIN_DIR ":/usr/bin:/bin");
	set_var(&vars, "MTDSIM_DIR=" + path("flash"));
	set_var(&vars, "MTDSIM_LOG=" + path("log"));
	// The rest of this process's environment, less any simulator settings
	// of the developer's own.
	for (char **var = environ; *var; var++)
		if (strncmp(*var, "MTDSIM_", 7) != 0)
			set_var(&vars, *var);
	for (const std::string &var : vars)
		if (var.compare(0, 5, "PATH=") == 0)
			check_only_simulator(var.substr(5), dir_);
	return vars;
}

void Sandbox::use_here() const
{
	std::vector<std::string> vars = environment({});
	clearenv();
	for (const std::string &var : vars)
		putenv(strdup(var.c_str()));
}

bool under_ci()
{
	return getenv("CI") && std::string(getenv("CI")) == "true";
}

// Where a mount namespace can be had, each run's /dev/mtd4 is the
// sandbox's partition: artflash locks and reads back what the simulator
// writes, and never opens the machine's own node.
bool Sandbox::private_dev()
{
	// Said once, where it is not so.
	static const bool possible = system("unshare -m true 2>/dev/null") == 0 ||
	                             !fprintf(stderr, "no mount namespace (needs root): the lock and the read-back go unchecked\n");
	if (!possible && under_ci())
		ADD_FAILURE() << "no mount namespace for a private /dev/mtd4";
	return possible;
}

// Each run has a process group of its own and starts with its standard
// streams alone, every signal at its default, none blocked; tag names its output files.
pid_t Sandbox::spawn(std::vector<std::string> command, std::vector<std::string> &vars,
                     const Launch &launch, const std::string &tag) const
{
	std::vector<char *> envp;
	for (std::string &var : vars)
		envp.push_back(var.data());
	envp.push_back(nullptr);

	posix_spawn_file_actions_t actions;
	posix_spawn_file_actions_init(&actions);
	posix_spawn_file_actions_addchdir_np(&actions, dir_.c_str());
	const std::string files[] = {"/dev/null", path("stdout" + tag), path("stderr" + tag)};
	int pipe_fds[2] = {-1, -1};
	if (launch.dead_pipe && (pipe2(pipe_fds, O_CLOEXEC) != 0 || close(pipe_fds[0]) != 0))
		throw std::runtime_error("cannot make a pipe");
	for (int fd = 0; fd <= 2; fd++) {
		if (std::find(launch.closed.begin(), launch.closed.end(), fd) != launch.closed.end())
			posix_spawn_file_actions_addclose(&actions, fd);
		else if (launch.dead_pipe && fd > 0)
			posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], fd);
		else
			posix_spawn_file_actions_addopen(&actions, fd, files[fd].c_str(),
			                                 fd ? O_WRONLY | O_CREAT | O_TRUNC : O_RDONLY, 0644);
	}
	posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
	posix_spawnattr_t attr;
	sigset_t all, none;
	sigfillset(&all);
	sigemptyset(&none);
	posix_spawnattr_init(&attr);
	posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF |
	                                    POSIX_SPAWN_SETSIGMASK);
	posix_spawnattr_setpgroup(&attr, 0);
	posix_spawnattr_setsigdefault(&attr, &all);
	posix_spawnattr_setsigmask(&attr, &none);
	std::vector<std::string> words = launch.wrapper;
	if (private_dev())
		words.insert(words.begin(), {SIM_DEV, path("flash/mtd4")});
	words.insert(words.end(), command.begin(), command.end());
	std::vector<char *> args;
	for (std::string &word : words)
		args.push_back((word = expand(word)).data());
	args.push_back(nullptr);

	pid_t pid;
	int rc = posix_spawnp(&pid, args[0], &actions, &attr, args.data(), envp.data());
	posix_spawn_file_actions_destroy(&actions);
	posix_spawnattr_destroy(&attr);
	if (pipe_fds[1] >= 0)
		close(pipe_fds[1]);
	if (rc != 0)
		throw std::runtime_error("cannot run " + words[0]);
	return pid;
}

Run Sandbox::run(const std::vector<std::string> &argv, const std::vector<std::string> &env,
                 const Launch &launch) const
{
	std::vector<std::string> vars = environment(env);
	pid_t pid = spawn(argv, vars, launch, "");
	pid_t second = -1;
	// A row that acts on a command proves nothing if the command was over.
	const auto logged = [&] {
		std::string log = read_file("log");
		return size_t(std::count(log.begin(), log.end(), '\n')) >= launch.after_calls;
	};
	if (launch.signal || !launch.overlap.empty()) {
		if (!running_when(pid, logged))
			ADD_FAILURE() << "the run ended before call " << launch.after_calls << " could be met";
		else if (launch.signal && kill(launch.to_group ? -pid : pid, launch.signal) != 0)
			ADD_FAILURE() << "cannot send signal " << launch.signal << ": " << strerror(errno);
		else if (!launch.overlap.empty())
			second = spawn(launch.overlap, vars, Launch{launch.wrapper}, "2");
	}
	if (second >= 0 && launch.overlap_signal &&
	    (!running_when(second, [&] { return !read_file("stderr2").empty(); }) ||
	     kill(-second, launch.overlap_signal) != 0))
		ADD_FAILURE() << "the second run ended before it said it waits";
	Run result = {await(pid), "", "", -1, ""};
	if (second >= 0)
		result.overlap_status = await(second);
	// Read last: an orphaned command may still write to the first run's.
	result.out = read_file("stdout");
	result.err = read_file("stderr");
	result.overlap_err = read_file("stderr2");
	return result;
}

Run Sandbox::artflash(const std::vector<std::string> &args, const std::vector<std::string> &env,
                      const Launch &launch, const std::string &binary) const
{
	Launch with_second = launch;
	with_second.overlap = launch.overlap.empty() ? launch.overlap : artflash_command(binary, launch.overlap);
	return run(artflash_command(binary, args), env, with_second);
}
