// The typed values of the stream: scalars, strings, vectors and row-major matrices,
// the parameter set of a node, and the checked casts that read them.
#pragma once

#include <complex>
#include <map>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "flow/Object.h"

namespace FD {

// A scalar value as an object: GenericType<int>, GenericType<float>, GenericType<bool>.
template <class T>
class GenericType : public Object {
public:
    explicit GenericType(T v = T()) : value_(v) {}
    T& val() { return value_; }
    const T& val() const { return value_; }
    void printOn(std::ostream& out) const override { out << value_; }
    ObjectRef clone() override { return ObjectRef(new GenericType<T>(value_)); }
    std::string className() const override { return TypeName<T>::get(); }

private:
    T value_;
};

using Int = GenericType<int>;
using Float = GenericType<float>;
using Bool = GenericType<bool>;

class String : public Object, public std::string {
public:
    String() = default;
    String(const std::string& s) : std::string(s) {}  // NOLINT
    String(const char* s) : std::string(s) {}         // NOLINT
    void printOn(std::ostream& out) const override { out << static_cast<const std::string&>(*this); }
    ObjectRef clone() override { return ObjectRef(new String(*this)); }
    std::string className() const override { return "string"; }
};

template <>
struct TypeName<String> {
    static std::string get() { return "string"; }
};

// A vector of the stream; FD::Vector<FD::ObjectRef> is a list of objects (source lists).
template <class T>
class Vector : public Object, public std::vector<T> {
public:
    using std::vector<T>::vector;
    Vector() = default;
    void printOn(std::ostream& out) const override;
    ObjectRef clone() override { return ObjectRef(new Vector<T>(*this)); }
    std::string className() const override { return "Vector<" + TypeName<T>::get() + ">"; }
};

template <>
struct TypeName<ObjectRef> {
    static std::string get() { return "ObjectRef"; }
};
template <>
struct TypeName<std::complex<float>> {
    static std::string get() { return "complex<float>"; }
};

// rows x cols elements stored row by row: element (r, c) at r * cols + c.
template <class T>
class Matrix : public Object {
public:
    Matrix() = default;
    Matrix(int rows, int cols) : rows_(rows), cols_(cols), data_(size_t(rows) * size_t(cols), T()) {}

    int nrows() const { return rows_; }
    int ncols() const { return cols_; }
    size_t size() const { return data_.size(); }
    T* data() { return data_.data(); }
    const T* data() const { return data_.data(); }
    T* row(int r) { return data_.data() + size_t(r) * cols_; }
    const T* row(int r) const { return data_.data() + size_t(r) * cols_; }
    T& operator()(int r, int c) { return data_[size_t(r) * cols_ + c]; }
    const T& operator()(int r, int c) const { return data_[size_t(r) * cols_ + c]; }
    void resize(int rows, int cols) {
        rows_ = rows;
        cols_ = cols;
        data_.assign(size_t(rows) * size_t(cols), T());
    }

    void printOn(std::ostream& out) const override;
    ObjectRef clone() override { return ObjectRef(new Matrix<T>(*this)); }
    std::string className() const override { return "Matrix<" + TypeName<T>::get() + ">"; }

private:
    int rows_ = 0, cols_ = 0;
    std::vector<T> data_;
};

template <class T>
void Vector<T>::printOn(std::ostream& out) const {
    out << "<Vector";
    for (const T& v : *this) out << ' ' << v;
    out << " >";
}

template <>
inline void Vector<ObjectRef>::printOn(std::ostream& out) const {
    out << "<Vector";
    for (const ObjectRef& v : *this) {
        out << ' ';
        if (v) v->printOn(out); else out << "nil";
    }
    out << " >";
}

template <class T>
void Matrix<T>::printOn(std::ostream& out) const {
    out << "<Matrix<" << TypeName<T>::get() << "> <rows " << rows_ << "> <cols " << cols_
        << "> <data";
    for (const T& v : data_) out << ' ' << v;
    out << " > >";
}

// The typed reading of a parameter or a stream object. The object must be exactly
// the asked type: an int object read as float is an error, not a conversion.
template <class T>
T& dereference_cast(const ObjectRef& ref) {
    auto* g = dynamic_cast<GenericType<T>*>(ref.get());
    if (!g) throw new CastException<T>(describeType(ref.get()), describeValue(ref.get()));
    return g->val();
}

// The checked cast to an object class (FD::String, FD::Matrix<float>, ...).
template <class T>
T& object_cast(const ObjectRef& ref) {
    auto* p = dynamic_cast<T*>(ref.get());
    if (!p) throw new CastException<T>(describeType(ref.get()), describeValue(ref.get()));
    return *p;
}

// Named parameters of a node. get() of a missing name is a GeneralException
// about that parameter ("missing parameter NAME").
class ParameterSet {
public:
    void add(const std::string& name, ObjectRef value) { values_[name] = std::move(value); }
    bool exist(const std::string& name) const { return values_.count(name) != 0; }
    ObjectRef get(const std::string& name) const;
    const std::map<std::string, ObjectRef>& all() const { return values_; }

private:
    std::map<std::string, ObjectRef> values_;
};

}  // namespace FD
