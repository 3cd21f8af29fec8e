#pragma once

// The relay-socket library: the program's only door to the network. Handles are 32-bit values and 0
// never names a socket.

// Writes the host's own IPv4 address as zero-terminated text into buffer, cut to size - 1 characters.
// The address is for display: the first non-loopback IPv4 address of an interface that is up, or
// "127.0.0.1" when the host has none. Nothing is written when size is less than 1.
void GetOwnAddrString(char* buffer, int size);
