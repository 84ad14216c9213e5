#include "warnings.h"

#include "console.h"

void warnings::warn(std::string_view path, std::string_view reason, const char* one,
                    const char* many) {
    if (!quiet) {
        out.note(path, reason);
        return;
    }
    for (kind& k : kinds) {
        if (std::string_view(k.one) == one) {
            ++k.count;
            return;
        }
    }
    kinds.push_back({one, many, 1});
}

void warnings::summarise() {
    for (const kind& k : kinds)
        out.note(std::to_string(k.count) + " " + (k.count == 1 ? k.one : k.many));
    kinds.clear();
}
