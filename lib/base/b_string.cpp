#include <kistle/b_string.h>

#include <cstdlib>
#include <cstring>

void b_string::Del() {
    std::free(text);
    text = nullptr;
}

b_string& b_string::operator=(const char* source) {
    char* copy = nullptr;
    if (source != nullptr) {
        std::size_t size = std::strlen(source) + 1;
        copy = static_cast<char*>(std::malloc(size));
        if (copy != nullptr)
            std::memcpy(copy, source, size);
    }
    std::free(text);
    text = copy;
    return *this;
}

void b_string::adopt(char* owned) {
    std::free(text);
    text = owned;
}

std::size_t b_string::length() const {
    return text != nullptr ? std::strlen(text) : 0;
}
