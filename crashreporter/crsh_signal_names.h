// Names of signals and signal codes as a crash report writes them. The numbers are the report's own
// (those of the platform the format was made for), not necessarily the host's: SIGBUS is 10, SIGUSR1 30.
#pragma once

#include <cstddef>

// The signal's name, or none when the table has no entry.
const char* crsh_signal_name(int signo);

// The name of a code of the given signal, or none when the table has no entry.
const char* crsh_signal_code_name(int signo, int code);

// Room for "#" and any int in decimal, with the terminator.
constexpr std::size_t CRSH_SIGNAL_NUMBER_TEXT_BYTES = 13;

// The name from the table, else "#" and the decimal number written into the buffer. Safe in a signal
// handler.
const char* crsh_signal_name_text(int signo, char (&buffer)[CRSH_SIGNAL_NUMBER_TEXT_BYTES]);
const char* crsh_signal_code_name_text(int signo, int code, char (&buffer)[CRSH_SIGNAL_NUMBER_TEXT_BYTES]);

// The report's numbers for a signal and code of this host, by meaning (Linux's SIGBUS 7 is the report's
// 10; its FPE_INTDIV 1 the report's 7). A code with no counterpart, or not above 0, is kept as it is. False
// when the signal has no counterpart: it is then written by its host number.
bool crsh_signal_from_host(int host_signo, int host_code, int* signo, int* code);
