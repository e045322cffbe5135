// Reference-counted objects of the stream and the handles that hold them.
//
// An object starts with one reference, owned by whoever created it; RCPtr and
// ObjectRef hold one reference each and the last release destroys the object.
#pragma once

#include <atomic>
#include <iosfwd>
#include <string>
#include <typeinfo>
#include <utility>
#include <vector>

#include "flow/Exception.h"

namespace FD {

class Object;
template <class T>
class RCPtr;
using ObjectRef = RCPtr<Object>;

struct ModuleVersion {
    std::string name, revision, version;
};

class Object {
public:
    Object() { ++liveObjects(); }
    Object(const Object&) : Object() {}
    Object& operator=(const Object&) { return *this; }
    virtual ~Object() { --liveObjects(); }

    void ref() { ++refCount_; }
    void unref() {
        if (--refCount_ <= 0) destroy();
    }
    int getRefCount() const { return refCount_; }

    virtual void destroy() { delete this; }
    virtual void serialize(std::ostream& out) const;
    virtual void unserialize(std::istream& in);
    virtual void doesNotUnderstand(std::string method);
    virtual void printOn(std::ostream& out) const;
    virtual bool isNil() const { return false; }
    virtual void prettyPrint(std::ostream& out) const { printOn(out); }
    virtual void readFrom(std::istream& in);
    virtual ObjectRef clone();
    virtual std::string className() const;

    // Module registration: records (name, revision, version) of a loaded module.
    static void setModuleVersion(const std::string& name, const std::string& revision,
                                 const std::string& version);
    static const std::vector<ModuleVersion>& moduleVersions();

    // Objects alive in the process: lets tests check that a frame's objects were released.
    static long liveCount() { return liveObjects().load(); }

private:
    static std::atomic<long>& liveObjects();
    int refCount_ = 1;
};

// Intrusive handle. Built from a raw pointer it takes over the creator's reference
// (the object starts at count 1); copies add a reference.
template <class T>
class RCPtr {
public:
    RCPtr() = default;
    RCPtr(T* p) : ptr_(p) {}  // NOLINT: adopting a fresh object is the common case
    RCPtr(const RCPtr& o) : ptr_(o.ptr_) { acquire(); }
    RCPtr(RCPtr&& o) noexcept : ptr_(o.ptr_) { o.ptr_ = nullptr; }

    // Conversion between handles of different types, checked at run time.
    // A wrong type throws a GeneralException naming both types.
    template <class U>
    RCPtr(const RCPtr<U>& o) {  // NOLINT
        if (!o.get()) return;
        ptr_ = dynamic_cast<T*>(o.get());
        if (!ptr_) throwWrongType(o.get());
        acquire();
    }

    ~RCPtr() { release(); }

    RCPtr& operator=(const RCPtr& o) {
        T* p = o.ptr_;  // read before release(): o may be *this
        if (p) p->ref();
        release();
        ptr_ = p;
        return *this;
    }
    RCPtr& operator=(RCPtr&& o) noexcept {
        if (this != &o) {
            release();
            ptr_ = o.ptr_;
            o.ptr_ = nullptr;
        }
        return *this;
    }
    RCPtr& operator=(T* p) {
        release();
        ptr_ = p;
        return *this;
    }

    T* get() const { return ptr_; }
    T* operator->() const { return ptr_; }
    T& operator*() const { return *ptr_; }
    explicit operator bool() const { return ptr_ != nullptr; }
    bool isNil() const { return ptr_ == nullptr || ptr_->isNil(); }

private:
    void acquire() {
        if (ptr_) ptr_->ref();
    }
    void release() {
        if (ptr_) ptr_->unref();
        ptr_ = nullptr;
    }
    template <class U>
    [[noreturn]] static void throwWrongType(U* found);

    T* ptr_ = nullptr;
};

// Class name of an object for messages ("float", "Matrix<complex<float>>", "nil").
std::string describeType(const Object* o);
// Printed value of a scalar or string object for messages ("18", "\"abc\""); empty otherwise.
std::string describeValue(const Object* o);

template <class T>
template <class U>
void RCPtr<T>::throwWrongType(U* found) {
    throw new GeneralException("cannot convert an object of type " + describeType(found) +
                               " to " + TypeName<T>::get());
}

}  // namespace FD
