#ifndef USBBENCH_H
#define USBBENCH_H

// The USB test bench's own interface, for tests and tools in the same process as the emulator.
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Replaces the emulated devices with those the text describes and lays out their usbfs tree under
// $USB_DEVFS_PATH. Files still open on the old devices behave as unplugged. Returns 0, or -1 with a
// message in error.
int usbbench_load(const char* description, char* error, size_t error_size);

// Copies what the devices saw, one event a line ("1-2 claim 0"), into buffer (cut to fit, always
// terminated) and returns the journal's full length. The journal keeps the latest 100000 events.
size_t usbbench_journal(char* buffer, size_t size);
void usbbench_clear_journal(void);

// Takes the device at bus and address away (every request on files open on it fails with ENODEV, and
// it cannot be opened), or brings it back as if newly plugged in (files opened before stay dead).
// Returns 0, or -1 when there is no such device.
int usbbench_unplug(int bus, int address);
int usbbench_plug_in(int bus, int address);

// The address of the device plugged into the port ("1-1.4") now, or -1 when none is.
int usbbench_address_at(const char* port);

struct usbbench_counters {
    uint64_t submitted; // transfers submitted, refused ones included
    uint64_t refused;   // submissions refused with an error
    uint64_t completed; // transfers reaped with data (or none), without error
    uint64_t cancelled; // transfers ended by a discard, a release, a reset, a close or an unplug
};
// The counters of the device at bus and address; -1 when there is none.
int usbbench_read_counters(int bus, int address, struct usbbench_counters* counters);

#ifdef __cplusplus
}
#endif

#endif
