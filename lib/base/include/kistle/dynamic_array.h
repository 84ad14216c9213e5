// Owning array of element pointers.
#ifndef KISTLE_DYNAMIC_ARRAY_H
#define KISTLE_DYNAMIC_ARRAY_H

#include <cstdint>
#include <cstdlib>

template <class T> class dynamic_array {
public:
    T** items = nullptr; // released with free
    uint64_t count = 0;
    uint64_t capacity = 0; // growth words: slots allocated,
    uint64_t growth = 1;   // and slots added at the next growth

    dynamic_array() = default;
    dynamic_array(const dynamic_array&) = delete;
    dynamic_array& operator=(const dynamic_array&) = delete;
    ~dynamic_array() { free_buffers(); }

    // Takes ownership of item and returns true; false when no room could be
    // made, and the item stays with the caller.
    bool append(T* item) {
        if (count == capacity) {
            uint64_t wanted = capacity + growth;
            if (wanted < capacity || wanted > SIZE_MAX / sizeof(T*))
                return false;
            void* grown = std::realloc(items, static_cast<size_t>(wanted) * sizeof(T*));
            if (grown == nullptr)
                return false;
            items = static_cast<T**>(grown);
            capacity = wanted;
            growth = wanted;
        }
        items[count++] = item;
        return true;
    }

    T* operator[](uint64_t index) const { return items[index]; }

    // Deletes every element, the last first, then releases the array.
    void free_buffers() {
        while (count > 0) {
            --count;
            delete items[count];
        }
        std::free(items);
        items = nullptr;
        capacity = 0;
        growth = 1;
    }
};

#endif
