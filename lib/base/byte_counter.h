// An output stream buffer that takes every byte, keeps none and counts them
// (internal): for walks that verify data without writing it anywhere.
#ifndef KISTLE_BYTE_COUNTER_H
#define KISTLE_BYTE_COUNTER_H

#include <cstdint>
#include <streambuf>

namespace kistle::internal {

class byte_counter : public std::streambuf {
public:
    uint64_t count() const { return counted; }

protected:
    std::streamsize xsputn(const char*, std::streamsize size) override {
        counted += static_cast<uint64_t>(size);
        return size;
    }
    int_type overflow(int_type c) override {
        if (!traits_type::eq_int_type(c, traits_type::eof()))
            ++counted;
        return traits_type::not_eof(c);
    }

private:
    uint64_t counted = 0;
};

} // namespace kistle::internal

#endif
