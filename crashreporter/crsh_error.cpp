#include "crashreporter/crsh_error.h"
#include "crashreporter/crsh_frame_error.h"

const char* crsh_strerror(crsh_error_t error)
{
    switch (error) {
    case CRSH_ERR_NONE: return "No error";
    case CRSH_ERR_UNKNOWN: return "Unknown error";
    case CRSH_ERR_OUTPUT: return "Output file can not be opened (or written to)";
    case CRSH_ERR_NO_MEMORY: return "No memory available";
    case CRSH_ERR_NOT_SUPPORTED: return "Operation not supported";
    case CRSH_ERR_INVALID_ARGUMENT: return "Invalid argument";
    case CRSH_ERR_INTERNAL: return "Internal error";
    case CRSH_ERR_ACCESS_DENIED: return "Access denied";
    case CRSH_ERR_NOT_FOUND: return "Not found";
    case CRSH_ERR_INVALID_DATA: return "The input data is in an unknown or invalid format.";
    }
    return "Unhandled error code";
}

const char* crsh_frame_strerror(crsh_frame_error_t error)
{
    switch (error) {
    case CRSH_FRAME_ERR_NONE: return "No error";
    case CRSH_FRAME_ERR_UNKNOWN: return "Unknown error";
    case CRSH_FRAME_ERR_NO_FRAME: return "No frames are available";
    case CRSH_FRAME_ERR_BAD_FRAME: return "Corrupted frame";
    case CRSH_FRAME_ERR_NOT_SUPPORTED: return "Operation not supported";
    case CRSH_FRAME_ERR_INVALID_ARGUMENT: return "Invalid argument";
    case CRSH_FRAME_ERR_INTERNAL: return "Internal error";
    case CRSH_FRAME_ERR_BAD_REGISTER: return "Invalid register";
    }
    return "Unhandled error code";
}
