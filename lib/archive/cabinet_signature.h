// Whether a file begins as a cabinet does (internal): what the reader asks
// before it believes a file's other bytes, and what the writer asks before
// it replaces a file.
#ifndef KISTLE_CABINET_SIGNATURE_H
#define KISTLE_CABINET_SIGNATURE_H

#include <filesystem>

namespace kistle::internal {

enum class signature {
    cabinet, // the file begins with a cabinet's signature
    other,   // it does not, or is shorter than one
    unknown, // it cannot be opened or read; errno says why
};

signature signature_of(const std::filesystem::path& file);

} // namespace kistle::internal

#endif
