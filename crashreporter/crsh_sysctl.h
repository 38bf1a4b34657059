// System values read while preparing the crash writer's record (outside crash context: these allocate),
// and the valid-UTF-8 prefix of such a value.
//
// The values come from a fixed table of the names the crash reporter reads, filled from uname(2) and
// sysconf(3): "kern.osversion", "kern.osrelease", "hw.machine" (strings), "hw.cputype", "hw.cpusubtype",
// "hw.physicalcpu_max", "hw.logicalcpu_max" and "sysctl.proc_native" (32-bit integers). Any other name
// fails with errno ENOENT.
#pragma once

#include <cstddef>
#include <cstdint>

// A newly allocated zero-terminated copy of the value (free it with free()), or null with errno set.
char* crsh_sysctl_string(const char* name);

// The 32-bit value of name into *result; false (errno set) for an unknown name or one that is not 4 bytes.
bool crsh_sysctl_int(const char* name, std::int32_t* result);

// How many leading bytes form complete UTF-8 sequences: a leading byte-order mark is skipped (and
// counted); counting stops at a zero byte, at an invalid or truncated sequence, or at length.
std::size_t crsh_sysctl_valid_utf8_bytes(const std::uint8_t* bytes, std::size_t length);
std::size_t crsh_sysctl_valid_utf8_bytes(const char* string);

// A newly allocated zero-terminated UTF-8 copy of text (free it with free()): bytes that are not
// well-formed UTF-8 become U+FFFD. None for none, or when no memory could be had.
char* crsh_strdup_utf8(const char* text);
