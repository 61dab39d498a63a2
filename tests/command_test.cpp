// SPDX-License-Identifier: MIT
// The write command line, as the shell will split it, and how the outcome
// of a command is judged.
#include "case_name.h"
#include "command.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace {

std::string write_command(const std::string &path)
{
	char line[WRITE_COMMAND_SIZE];
	compose_write_command(line, path.c_str());
	return line;
}

// What the shell hands mtd_debug as its source file when it runs line, or
// a note of what went wrong instead.
std::string shell_source_word(const std::string &line)
{
	std::string script = "mtd_debug() { [ $# -eq 5 ] || exit 3; printf %s \"$5\"; }; " + line;
	FILE *shell = popen(script.c_str(), "r");
	std::string word;
	char buf[512];
	for (size_t n; (n = fread(buf, 1, sizeof(buf), shell)) > 0;)
		word.append(buf, n);
	int status = pclose(shell);
	return status == 0 ? word : "<shell status " + std::to_string(status) + ">";
}

struct LineCase {
	const char *name;
	std::string path;
	std::string line;
};

const std::string PREFIX = "mtd_debug write /dev/mtd4 0x0 0x10000 ";

const LineCase LINE_CASES[] = {
	{"default path", "/tmp/art.bin", PREFIX + "/tmp/art.bin"},
	{"every plain character",
	 "/AZaz09_@%+=:,.-/x", PREFIX + "/AZaz09_@%+=:,.-/x"},
	{"blank", "/tmp/my art.bin", PREFIX + "'/tmp/my art.bin'"},
	{"quote", "/tmp/it's", PREFIX + "'/tmp/it'\\''s'"},
	{"only quotes", "''", PREFIX + "''\\'''\\'''"},
	{"tilde", "~/art.bin", PREFIX + "'~/art.bin'"},
	{"command substitution", "$(reboot)", PREFIX + "'$(reboot)'"},
};

void PrintTo(const LineCase &c, std::ostream *os) { *os << c.name; }

class WriteLine : public testing::TestWithParam<LineCase> {};

TEST_P(WriteLine, IsTheDesignLineOrQuoted)
{
	EXPECT_EQ(write_command(GetParam().path), GetParam().line);
}

INSTANTIATE_TEST_SUITE_P(Paths, WriteLine, testing::ValuesIn(LINE_CASES), CaseName());

const char *const HOSTILE_PATHS[] = {
	"a b", "  lead", "trail  ", "tab\there", "new\nline", "end\n", "'", "a'b'c",
	"\"", "\\", "\\'", "$HOME", "${PATH}", "$(touch pwned)", "`touch pwned`",
	"x;touch pwned", "x&&touch pwned", "x|touch pwned", "x>pwned", "<x", "*", "?",
	"[a-z]", "{a,b}", "~root", "!1", "#c", "-rf", "%s%n", "a=b c", "\x7f", "\x01",
	"\xff\xfe", "caf\xc3\xa9", "\x81\x82\x83\x84\x85\x86\x87\x88",
};

TEST(WriteLineShell, HandsOverHostilePathsExactly)
{
	for (const char *path : HOSTILE_PATHS)
		EXPECT_EQ(shell_source_word(write_command(path)), path);
	EXPECT_NE(access("pwned", F_OK), 0) << "the shell ran part of a path";
}

TEST(WriteLineShell, HandsOverRandomPathsExactly)
{
	std::mt19937 random(20261208);
	std::uniform_int_distribution<int> byte(1, 255);
	std::uniform_int_distribution<size_t> length(1, ART_PATH_SIZE - 1);
	for (int i = 0; i < 500; i++) {
		std::string path(length(random), '\0');
		for (char &ch : path)
			ch = char(byte(random));
		ASSERT_EQ(shell_source_word(write_command(path)), path) << "case " << i;
	}
}

TEST(WriteLineBounds, LongestQuotedLineFits)
{
	const std::string quotes(ART_PATH_SIZE - 1, '\'');
	std::string line = write_command(quotes);
	EXPECT_EQ(line.size() + 1, WRITE_COMMAND_SIZE);
	EXPECT_EQ(shell_source_word(line), quotes);
}

struct OutcomeCase {
	const char *name;
	const char *command;  // run through the shell
	int result;
};

const OutcomeCase OUTCOME_CASES[] = {
	{"exit 0", "true", 0},
	{"exit 1", "false", -1},
	{"exit 255", "exit 255", -1},
	{"command not found", "artflash-no-such-command", -1},
	{"killed by a signal", "kill -KILL $$", -1},
	{"terminated", "kill -TERM $$", -1},
};

void PrintTo(const OutcomeCase &c, std::ostream *os) { *os << c.name; }

class Outcome : public testing::TestWithParam<OutcomeCase> {};

TEST_P(Outcome, OnlyAZeroExitIsSuccess)
{
	EXPECT_EQ(run_command(GetParam().command), GetParam().result);
}

INSTANTIATE_TEST_SUITE_P(Commands, Outcome, testing::ValuesIn(OUTCOME_CASES), CaseName());

} // namespace
