// A protocol-buffers field encoder for the crash log writer: it writes one field (tag and value) at a
// time into an async file or, given no file, only computes the field's encoded size. A caller sizes a
// nested message by running its field calls with no file, emits the message's tag and size, then runs
// the same calls again with the file.
#pragma once

#include "crashreporter/crsh_async_file.h"

#include <cstddef>
#include <cstdint>

// Field types, numbered as in the protobuf-c runtime.
enum crsh_writer_type : int {
    CRSH_WRITER_INT32 = 0,
    CRSH_WRITER_SINT32 = 1,
    CRSH_WRITER_SFIXED32 = 2,
    CRSH_WRITER_INT64 = 3,
    CRSH_WRITER_SINT64 = 4,
    CRSH_WRITER_SFIXED64 = 5,
    CRSH_WRITER_UINT32 = 6,
    CRSH_WRITER_FIXED32 = 7,
    CRSH_WRITER_UINT64 = 8,
    CRSH_WRITER_FIXED64 = 9,
    CRSH_WRITER_FLOAT = 10,
    CRSH_WRITER_DOUBLE = 11,
    CRSH_WRITER_BOOL = 12,
    CRSH_WRITER_ENUM = 13,
    CRSH_WRITER_STRING = 14,
    CRSH_WRITER_BYTES = 15,
    CRSH_WRITER_MESSAGE = 16,
};

// The value of a bytes field.
struct crsh_writer_bytes {
    std::size_t length;
    const void* data;
};

constexpr std::size_t CRSH_WRITER_VARINT_MAX_BYTES = 10;

// Seven bits per byte, least significant first, the high bit set on all but the last. Returns 1-10.
std::size_t crsh_writer_pack_varint64(std::uint64_t value, std::uint8_t* out);

// Encodes one field and returns its size (tag plus value) whether or not a file was given; with a file
// the bytes go to it (its refusals are remembered by the file, see crsh_async_file_failed). The value
// points at a value of the type's width for scalars (a bool is one byte), a zero-terminated string for
// STRING, a crsh_writer_bytes for BYTES and the 32-bit body length for MESSAGE (only the tag and length
// are written; the body follows by further calls). A type outside the table aborts the process.
std::size_t crsh_writer_pack(crsh_async_file* file, std::uint32_t field, crsh_writer_type type, const void* value);
