// SPDX-License-Identifier: MIT
// Fuzz the command line and the write line made from it. The input is an
// argument vector, arguments separated by NUL bytes. For any of them
// art_path must stay NUL-terminated within its buffer, and for any path
// that is accepted the shell must read the write line back as the fixed
// words and then that exact path.
#include "artflash.h"
#include "command.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr size_t MAX_ARGS = 64;

// Word splitting and quote removal as a POSIX shell does them, for the
// constructs that may appear in a line: plain characters, single-quoted
// text and backslash escapes. Anything else the shell would act on
// (blanks aside) makes the line unsafe.
bool shell_words(const std::string &line, std::vector<std::string> *words)
{
	bool in_word = false;
	for (size_t i = 0; i < line.size(); i++) {
		char c = line[i];
		if (c == ' ') {
			in_word = false;
			continue;
		}
		if (!in_word)
			words->emplace_back();
		in_word = true;
		if (c == '\'') {
			size_t end = line.find('\'', i + 1);
			if (end == std::string::npos)
				return false;
			words->back() += line.substr(i + 1, end - i - 1);
			i = end;
		} else if (c == '\\' && i + 1 < line.size() && line[i + 1] != '\n') {
			words->back() += line[++i];
		} else if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
		           (c >= '0' && c <= '9') || strchr("_@%+=:,./-", c)) {
			words->back() += c;
		} else {
			return false;
		}
	}
	return true;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	opterr = 0;  // the C library's complaints about options are not ours
	if (!freopen("/dev/null", "w", stdout))
		abort();
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	std::vector<std::string> words = {"artflash"};
	std::string text(reinterpret_cast<const char *>(data), size);
	for (size_t start = 0; start <= text.size() && words.size() < MAX_ARGS;) {
		size_t end = std::min(text.find('\0', start), text.size());
		words.push_back(text.substr(start, end - start));
		start = end + 1;
	}
	std::vector<char *> argv;
	for (std::string &word : words)
		argv.push_back(word.data());
	argv.push_back(nullptr);

	optind = 0;
	int result = parse_options(int(words.size()), argv.data());
	if (!memchr(art_path, '\0', sizeof(art_path)))
		abort();
	if (result != 0)
		return 0;

	char line[WRITE_COMMAND_SIZE];
	std::vector<std::string> parsed;
	compose_write_command(line, art_path);
	if (!shell_words(line, &parsed) || parsed.size() != 6 ||
	    parsed[0] != "mtd_debug" || parsed[1] != "write" || parsed[2] != "/dev/mtd4" ||
	    parsed[3] != "0x0" || parsed[4] != "0x10000" || parsed[5] != art_path)
		abort();
	return 0;
}
