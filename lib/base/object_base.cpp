#include <kistle/object_base.h>

ObjectBase::~ObjectBase() = default;

ObjectBase* ObjectBase::LinkNext(ObjectBase* next) {
    ObjectBase* previous = next_object;
    next_object = next;
    return previous;
}
