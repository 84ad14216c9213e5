// An output stream buffer without a buffer of its own (internal): every
// write reaches xsputn, which the class deriving from it provides, a single
// character included.
#ifndef KISTLE_UNBUFFERED_OUTPUT_H
#define KISTLE_UNBUFFERED_OUTPUT_H

#include <streambuf>

namespace kistle::internal {

class unbuffered_output : public std::streambuf {
protected:
    int_type overflow(int_type c) override {
        if (traits_type::eq_int_type(c, traits_type::eof()))
            return traits_type::not_eof(c);
        char byte = traits_type::to_char_type(c);
        return xsputn(&byte, 1) == 1 ? c : traits_type::eof();
    }
};

} // namespace kistle::internal

#endif
