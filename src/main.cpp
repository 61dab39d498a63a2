// SPDX-License-Identifier: MIT
// artflash: check the Art image named on the command line and flash it.
#include "artflash.h"
#include "guard.h"

int main(int argc, char **argv)
{
	if (open_standard_streams() != 0)
		return -1;
	if (parse_options(argc, argv) != 0)
		return -1;
	return flash_art();
}
