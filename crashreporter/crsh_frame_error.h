// The error codes of the frame cursor and its frame readers. Code 0 is success; crsh_frame_strerror()
// gives each code's text.
#pragma once

enum [[nodiscard]] crsh_frame_error_t : int {
    CRSH_FRAME_ERR_NONE = 0,
    CRSH_FRAME_ERR_UNKNOWN = 1,
    CRSH_FRAME_ERR_NO_FRAME = 2,
    CRSH_FRAME_ERR_BAD_FRAME = 3,
    CRSH_FRAME_ERR_NOT_SUPPORTED = 4,
    CRSH_FRAME_ERR_INVALID_ARGUMENT = 5,
    CRSH_FRAME_ERR_INTERNAL = 6,
    CRSH_FRAME_ERR_BAD_REGISTER = 7,
};

// A constant text for the code; "Unhandled error code" for any code outside the table.
const char* crsh_frame_strerror(crsh_frame_error_t error);
