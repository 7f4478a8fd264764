// SPDX-License-Identifier: MIT
// Internals of the module locator, exposed to tests and fuzzers only.
#ifndef LIBEX_CMODULES_INTERNAL_H
#define LIBEX_CMODULES_INTERNAL_H

/* Checks one line of a maps file against `symbol`. Returns a pointer into `line` at the
 * start of the mapped file's path (its first '/') when the line is an " r-xp " file
 * mapping whose [start, end) range holds `symbol`; NULL otherwise. */
const char* br_match_maps_line(const char* line, const void* symbol);

/* The scan itself, on any maps file: a heap copy (free() it) of the path of the file
 * mapped at `symbol`, or NULL. The live lookups pass "/proc/self/maps". */
char* br_locate_in(const void* symbol, const char* mapsFile);

/* Tidies a path taken from a maps line in place: cut at its last newline, then one
 * trailing " (deleted)" removed. */
void br_tidy_path(char* path);

#endif
