// The general error codes of the crash reporter's low-level functions. Code 0 is success; every other
// code names one kind of failure, and crsh_strerror() gives its text.
#pragma once

enum [[nodiscard]] crsh_error_t : int {
    CRSH_ERR_NONE = 0,
    CRSH_ERR_UNKNOWN = 1,
    CRSH_ERR_OUTPUT = 2,
    CRSH_ERR_NO_MEMORY = 3,
    CRSH_ERR_NOT_SUPPORTED = 4,
    CRSH_ERR_INVALID_ARGUMENT = 5,
    CRSH_ERR_INTERNAL = 6,
    CRSH_ERR_ACCESS_DENIED = 7,
    CRSH_ERR_NOT_FOUND = 8,
    CRSH_ERR_INVALID_DATA = 9,
};

// A constant text for the code; "Unhandled error code" for any code outside the table.
const char* crsh_strerror(crsh_error_t error);

// Returns from the calling function with the expression's code unless it is CRSH_ERR_NONE.
#define CRSH_TRY(expression)                                                                                           \
    do {                                                                                                               \
        crsh_error_t tryError = (expression);                                                                          \
        if (tryError != CRSH_ERR_NONE)                                                                                 \
            return tryError;                                                                                           \
    } while (0)
