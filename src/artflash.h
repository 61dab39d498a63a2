// SPDX-License-Identifier: MIT
// artflash: program a 64 KiB Art image into the start of an MTD partition.
#ifndef ARTFLASH_H
#define ARTFLASH_H

#include <stddef.h>

// The image must be exactly this long; the command lines erase and write
// the same length at offset 0, and the size message names it, all spelled
// from this one literal.
#define ART_IMAGE_SIZE_LITERAL 0x10000
constexpr long ART_IMAGE_SIZE = ART_IMAGE_SIZE_LITERAL;

// Room for a path of at most 255 characters and its NUL.
constexpr size_t ART_PATH_SIZE = 256;

constexpr char DEFAULT_ART_PATH[] = "/tmp/art.bin";

// The Art partition: the commands erase and write it; a run holds a lock
// on it meanwhile and reads it before and after. A literal, so that the
// command lines and messages can be spelled out around it.
#define ART_MTD_DEVICE "/dev/mtd4"

// The Art file to flash; filled by parse_options, read by flash_art.
extern char art_path[ART_PATH_SIZE];

// Fill art_path from the command line. Returns -1 (after saying why) when
// the path given cannot be held, else 0.
int parse_options(int argc, char **argv);

// Check and read the Art file, have mtd_debug erase and write it, and
// read the partition back. Returns 0 when the partition holds the image
// (or, with no device node to read, when both commands succeeded), else
// -1 (after saying why, and once the erase has begun, what the partition
// holds).
int flash_art(void);

#endif
