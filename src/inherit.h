// SPDX-License-Identifier: MIT
// What the run inherits from its launcher, made safe for a flash.
#ifndef ARTFLASH_INHERIT_H
#define ARTFLASH_INHERIT_H

// Open the null device on any of descriptors 0, 1 and 2 that is closed.
// Returns -1 (after saying so) if one stays closed.
int open_standard_streams(void);

// Make the erase and the write one step that no stop but SIGKILL can
// split, and let system() always collect its child.
void shield_flash_step(void);

#endif
