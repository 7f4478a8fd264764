// SPDX-License-Identifier: MIT
// Measures the time from starting a program to the mapping of its window with a given
// title, from X's own MapNotify events on the root window (no window manager runs).
// Usage: startup_timer TITLE PROGRAM [ARGS...]   prints the milliseconds, or fails.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sys/wait.h>
#include <unistd.h>

namespace {

double now_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

bool has_title(Display* d, Window w, const char* title) {
    char* name = nullptr;
    if (XFetchName(d, w, &name) == 0 || name == nullptr)
        return false;
    const bool same = strcmp(name, title) == 0;
    XFree(name);
    return same;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: startup_timer TITLE PROGRAM [ARGS...]\n");
        return 2;
    }
    Display* d = XOpenDisplay(nullptr);
    if (d == nullptr)
        return 2;
    XSelectInput(d, DefaultRootWindow(d), SubstructureNotifyMask);
    XSync(d, False);

    const double start = now_ms();
    const pid_t child = fork();
    if (child == 0) {
        execv(argv[2], argv + 2);
        _exit(127);
    }
    double mapped = -1;
    while (mapped < 0 && now_ms() - start < 30000) {
        while (XPending(d) > 0) {
            XEvent ev;
            XNextEvent(d, &ev);
            if (ev.type == MapNotify && has_title(d, ev.xmap.window, argv[1])) {
                mapped = now_ms();
                break;
            }
        }
        if (mapped < 0)
            usleep(200);
        int status;
        if (waitpid(child, &status, WNOHANG) == child)
            break;
    }
    kill(child, SIGTERM);
    waitpid(child, nullptr, 0);
    XCloseDisplay(d);
    if (mapped < 0)
        return 1;
    printf("%.2f\n", mapped - start);
    return 0;
}
