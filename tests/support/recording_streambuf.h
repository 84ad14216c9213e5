// An in-memory stream buffer that logs the size asked of every bulk read
// (xsgetn) and bulk write (xsputn), so tests see how a stream is driven, and
// that can stand for a device that breaks.
#ifndef KISTLE_TESTS_RECORDING_STREAMBUF_H
#define KISTLE_TESTS_RECORDING_STREAMBUF_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <streambuf>
#include <string>
#include <utility>
#include <vector>

class recording_streambuf : public std::streambuf {
public:
    // Reads serve input. Once it is used up they report the end of input, or,
    // with breaks_after_input, a device error: the buffer throws, which the
    // stream records as badbit. Writes are kept until write_limit bytes are
    // held; beyond that they stop short.
    explicit recording_streambuf(std::string input = {}, bool breaks_after_input = false,
                                 std::size_t write_limit = SIZE_MAX)
        : input_(std::move(input)), breaks_(breaks_after_input), write_limit_(write_limit) {}

    std::vector<std::streamsize> calls; // size asked of each xsgetn / xsputn, in order
    std::string written;
    std::size_t consumed() const { return pos_; }

protected:
    std::streamsize xsgetn(char* s, std::streamsize n) override {
        calls.push_back(n);
        std::size_t count = std::min(static_cast<std::size_t>(n), input_.size() - pos_);
        input_.copy(s, count, pos_);
        pos_ += count;
        if (count < static_cast<std::size_t>(n))
            input_ended();
        return static_cast<std::streamsize>(count);
    }

    int_type underflow() override {
        if (pos_ < input_.size())
            return traits_type::to_int_type(input_[pos_]);
        return input_ended();
    }

    int_type uflow() override {
        int_type c = underflow();
        if (!traits_type::eq_int_type(c, traits_type::eof()))
            ++pos_;
        return c;
    }

    std::streamsize xsputn(const char* s, std::streamsize n) override {
        calls.push_back(n);
        std::size_t count = std::min(static_cast<std::size_t>(n), write_limit_ - written.size());
        written.append(s, count);
        return static_cast<std::streamsize>(count);
    }

    int_type overflow(int_type c) override {
        if (traits_type::eq_int_type(c, traits_type::eof()))
            return traits_type::not_eof(c);
        if (written.size() >= write_limit_)
            return traits_type::eof();
        written.push_back(traits_type::to_char_type(c));
        return c;
    }

private:
    int_type input_ended() {
        if (breaks_)
            throw std::runtime_error("device error");
        return traits_type::eof();
    }

    std::string input_;
    bool breaks_;
    std::size_t write_limit_;
    std::size_t pos_ = 0;
};

#endif
