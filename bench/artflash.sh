#!/bin/sh
# SPDX-License-Identifier: MIT
# artflash's checks and commands as a POSIX shell script, to time against.
art=/tmp/art.bin
while getopts f: opt; do
	[ "$opt" = f ] && art=$OPTARG
done
[ -e "$art" ] || { echo "Art file $art is not exist"; exit 255; }
[ "$(wc -c <"$art")" -eq 65536 ] || { echo "Art filesize is not 0x10000"; exit 255; }
[ -f "$art" ] || { echo "Art file $art is not a regular file"; exit 255; }
[ -r "$art" ] || { echo "Art file $art is not readable"; exit 255; }
mtd_debug erase /dev/mtd4 0x0 0x10000 || { echo "Art erase failed"; exit 255; }
mtd_debug write /dev/mtd4 0x0 0x10000 "$art" || { echo "Art write failed"; exit 255; }
