#include "artflash.h"

int main(int argc, char **argv)
{
	if (parse_options(argc, argv) != 0)
		return -1;
	return flash_art();
}
