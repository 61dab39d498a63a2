// SPDX-License-Identifier: MIT
// What guards the flash step: the standard streams, the lock on the
// partition and the signal dispositions, whatever the launcher handed on.
#ifndef ARTFLASH_GUARD_H
#define ARTFLASH_GUARD_H

// Open the null device on any of descriptors 0, 1 and 2 that is closed.
// Returns -1 (after saying so) if one stays closed.
int open_standard_streams(void);

constexpr char FLASH_BUSY_MESSAGE[] = "Art flash is busy: waiting for the other run to finish\n";
// A run refused before anything ran: the launcher left too few descriptors.
constexpr char NO_DESCRIPTOR_MESSAGE[] = "Art flash needs more file descriptors: too many open files\n";

// What lock_flash_device returns when it holds no descriptor: there is no
// node (a development machine), there is one that cannot be opened, or
// the process has no descriptor left to open it with.
constexpr int FLASH_DEVICE_MISSING = -1;
constexpr int FLASH_DEVICE_UNOPENABLE = -2;
constexpr int FLASH_DEVICE_NO_DESCRIPTOR = -3;

// Whether a failed open or dup failed for want of a descriptor: the
// process's limit (ulimit -n) or the system's.
int out_of_descriptors(int error);

// Wait for an exclusive lock on the Art partition's device node, so that
// no other run erases or writes it meanwhile, unless the caller holds it
// already and handed it down. Returns the descriptor, which the run also
// reads the partition through, or one of the three above.
int lock_flash_device(void);

// Make the erase and the write one step that no stop but SIGKILL and
// SIGSTOP can split, and let system() always collect its child.
void shield_flash_step(void);

#endif
