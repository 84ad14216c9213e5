// What libkistle exports. The library is built with its symbols hidden; only
// what carries KISTLE_EXPORT is part of its binary interface, and everything
// else may change freely between releases.
#ifndef KISTLE_EXPORT_H
#define KISTLE_EXPORT_H

#if defined(__GNUC__) || defined(__clang__)
#define KISTLE_EXPORT __attribute__((visibility("default")))
#else
#define KISTLE_EXPORT
#endif

#endif
