// SPDX-License-Identifier: MIT
// Whether the kernel uses the Art partition itself.
#ifndef ARTFLASH_IN_USE_H
#define ARTFLASH_IN_USE_H

// Whether the node open on device is an MTD character device that carries
// a mounted file system or is attached to UBI. Any other node, or a table
// that cannot be read, counts as not in use.
int flash_device_in_use(int device);

#endif
