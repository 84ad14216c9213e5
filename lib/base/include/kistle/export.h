// What libkistle exports. The library is built with its symbols hidden; only
// what carries KISTLE_EXPORT is part of its binary interface, and everything
// else may change freely between releases.
#ifndef KISTLE_EXPORT_H
#define KISTLE_EXPORT_H

// KISTLE_LOCAL keeps a private member of an exported class inside the
// library, where no inline code of the class calls it.
#if defined(__GNUC__) || defined(__clang__)
#define KISTLE_EXPORT __attribute__((visibility("default")))
#define KISTLE_LOCAL __attribute__((visibility("hidden")))
#else
#define KISTLE_EXPORT
#define KISTLE_LOCAL
#endif

#endif
