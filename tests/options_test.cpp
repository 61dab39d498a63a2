// SPDX-License-Identifier: MIT
// Which Art file a command line names.
#include "artflash.h"
#include "case_name.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

struct OptionCase {
	const char *name;
	std::vector<std::string> args;
	int result;
	std::string path;
};

const std::string LONGEST(ART_PATH_SIZE - 1, 'a');
const std::string TOO_LONG(ART_PATH_SIZE, 'b');
const std::string HUGE_PATH(4 * ART_PATH_SIZE, 'c');

const OptionCase OPTION_CASES[] = {
	{"no arguments", {}, 0, DEFAULT_ART_PATH},
	{"separate value", {"-f", "/x/a.bin"}, 0, "/x/a.bin"},
	{"attached value", {"-f/x/a.bin"}, 0, "/x/a.bin"},
	{"last -f wins", {"-f", "/x/a.bin", "-f", "/y/b.bin"}, 0, "/y/b.bin"},
	{"empty value", {"-f", ""}, 0, DEFAULT_ART_PATH},
	{"empty last value", {"-f", "/x/a.bin", "-f", ""}, 0, DEFAULT_ART_PATH},
	{"unknown option", {"-h", "-f", "/x/a.bin", "-v"}, 0, "/x/a.bin"},
	{"unknown option alone", {"-h"}, 0, DEFAULT_ART_PATH},
	{"long help alone", {"--help"}, 0, DEFAULT_ART_PATH},
	{"dangling -f", {"-f"}, 0, DEFAULT_ART_PATH},
	{"dangling -f keeps earlier", {"-f", "/x/a.bin", "-f"}, 0, "/x/a.bin"},
	{"operands ignored", {"-f", "/x/a.bin", "one", "two"}, 0, "/x/a.bin"},
	{"longest path", {"-f", LONGEST}, 0, LONGEST},
	{"path one too long", {"-f", TOO_LONG}, -1, ""},
	{"huge path", {"-f" + HUGE_PATH}, -1, ""},
	{"too long then short", {"-f", TOO_LONG, "-f", "/x/a.bin"}, 0, "/x/a.bin"},
	{"short then too long", {"-f", "/x/a.bin", "-f", TOO_LONG}, -1, ""},
	{"too long then empty", {"-f", TOO_LONG, "-f", ""}, 0, DEFAULT_ART_PATH},
};

void PrintTo(const OptionCase &c, std::ostream *os) { *os << c.name; }

class Options : public testing::TestWithParam<OptionCase> {};

TEST_P(Options, NameTheArtFile)
{
	const OptionCase &c = GetParam();
	std::vector<std::string> words = {"artflash"};
	words.insert(words.end(), c.args.begin(), c.args.end());
	std::vector<char *> argv;
	for (std::string &word : words)
		argv.push_back(word.data());
	argv.push_back(nullptr);

	// No NUL left over from an earlier case may end the path for it.
	memset(art_path, 'z', sizeof(art_path));
	optind = 0;  // start getopt afresh for each command line
	testing::internal::CaptureStdout();
	int result = parse_options(int(words.size()), argv.data());
	std::string out = testing::internal::GetCapturedStdout();

	EXPECT_EQ(result, c.result);
	EXPECT_EQ(out, c.result == 0 ? "" : "Art file path is too long\n");
	ASSERT_NE(memchr(art_path, '\0', sizeof(art_path)), nullptr);
	if (c.result == 0) {
		EXPECT_EQ(std::string(art_path), c.path);
	}
}

INSTANTIATE_TEST_SUITE_P(CommandLines, Options, testing::ValuesIn(OPTION_CASES), CaseName());

} // namespace
