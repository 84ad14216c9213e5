// Owning first-in, first-out queue of ObjectBase descendants.
#ifndef KISTLE_QUEUE_OF_H
#define KISTLE_QUEUE_OF_H

#include <cstdint>

#include <kistle/object_base.h>

template <class T> class QueueOf {
public:
    T* head = nullptr;
    T* tail = nullptr; // meaningful only while head is set
    uint64_t count = 0;

    QueueOf() = default;
    QueueOf(const QueueOf&) = delete;
    QueueOf& operator=(const QueueOf&) = delete;
    ~QueueOf() { Clear(); }

    // Takes ownership of object and returns true; a full queue leaves it with
    // the caller and returns false.
    bool Append(T* object) {
        if (count == UINT64_MAX)
            return false;
        if (head == nullptr)
            head = object;
        else
            tail->LinkNext(object);
        tail = object;
        ++count;
        return true;
    }

    // Hands the first object to the caller; the queue must not be empty.
    T* TakeHead() {
        T* taken = head;
        head = static_cast<T*>(taken->LinkNext(nullptr));
        --count;
        return taken;
    }

    // Calls visit on every object in order; the queue stays as it is.
    template <class F> void ForEach(F visit) const {
        T* object = head;
        for (uint64_t left = count; left > 0; --left) {
            T* next = static_cast<T*>(object->Next());
            visit(*object);
            object = next;
        }
    }
    void Clear() {
        while (head != nullptr)
            delete TakeHead();
        tail = nullptr;
        count = 0;
    }
};

#endif
