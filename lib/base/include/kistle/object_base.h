// Polymorphic base of everything a QueueOf holds.
#ifndef KISTLE_OBJECT_BASE_H
#define KISTLE_OBJECT_BASE_H

#include <kistle/export.h>

class KISTLE_EXPORT ObjectBase {
public:
    ObjectBase() = default;
    ObjectBase(const ObjectBase&) = delete;
    ObjectBase& operator=(const ObjectBase&) = delete;
    // Virtual so that a queue can delete what it owns.
    virtual ~ObjectBase();

    // Stores next as this object's link and returns the link held before.
    ObjectBase* LinkNext(ObjectBase* next);
    // The link, for reading a queue without taking it apart.
    ObjectBase* Next() const { return next_object; }

private:
    ObjectBase* next_object = nullptr;
};

#endif
