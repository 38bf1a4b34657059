// Whether this machine lets a process that this one starts stop this one's threads as their tracer, as the
// crash reporter's helper does. A security module (Yama's ptrace_scope 3), a sandbox's system-call filter
// or a container's policy may refuse it; the tests then check the report made without it.
#pragma once

#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <initializer_list>

#ifndef PR_SET_PTRACER
#define PR_SET_PTRACER 0x59616d61
#endif

namespace crashtest {

// Asked once: a forked child, declared as this process's tracer, tries to take its main thread. The
// child's end lets the thread go.
inline bool tracingAllowed()
{
    static const bool allowed = [] {
        int go[2], answer[2];
        if (pipe(go) != 0)
            return false;
        if (pipe(answer) != 0) {
            close(go[0]);
            close(go[1]);
            return false;
        }
        const pid_t parent = getpid();
        const pid_t child = fork();
        if (child == 0) {
            char byte = 0;
            (void)read(go[0], &byte, 1);
            byte = syscall(SYS_ptrace, PTRACE_SEIZE, static_cast<long>(parent), 0L, 0L) == 0 ? 'y' : 'n';
            (void)write(answer[1], &byte, 1);
            _exit(0);
        }
        char byte = 'n';
        if (child > 0) {
            (void)prctl(PR_SET_PTRACER, static_cast<unsigned long>(child), 0UL, 0UL, 0UL);
            if (write(go[1], "g", 1) != 1 || read(answer[0], &byte, 1) != 1)
                byte = 'n';
            int status = 0;
            (void)waitpid(child, &status, 0);
        }
        for (int fd : {go[0], go[1], answer[0], answer[1]})
            close(fd);
        return byte == 'y';
    }();
    return allowed;
}

} // namespace crashtest
