// Host exceptions. They are thrown as pointers to heap objects (`throw new ...`);
// whoever catches one owns it and deletes it.
#pragma once

#include <iostream>
#include <string>
#include <typeinfo>

namespace FD {

class BaseException {
public:
    virtual ~BaseException() = default;
    // Full readable text of the error, on one line.
    virtual std::string message() const = 0;
    void print(std::ostream& out = std::cerr) const { out << message() << '\n'; }
};

// Any failure of the host or of a node, with a free text.
class GeneralException : public BaseException {
public:
    explicit GeneralException(std::string text, std::string file = "", int line = 0)
        : text_(std::move(text)), file_(std::move(file)), line_(line) {}
    std::string message() const override { return text_; }
    const std::string& file() const { return file_; }
    int line() const { return line_; }

private:
    std::string text_;
    std::string file_;
    int line_;
};

// A frame outside the window an output buffer keeps.
class BufferException : public BaseException {
public:
    BufferException(std::string text, int count, int oldest, int newest)
        : text_(std::move(text)), count_(count), oldest_(oldest), newest_(newest) {}
    std::string message() const override {
        return text_ + " (frame " + std::to_string(count_) + ", buffer holds " +
               std::to_string(oldest_) + " to " + std::to_string(newest_) + ")";
    }
    const std::string& text() const { return text_; }
    int count() const { return count_; }

private:
    std::string text_;
    int count_, oldest_, newest_;
};

std::string demangle(const char* mangled);

// Names a type for messages: "int", "float", "bool", "string"; other types by
// their demangled C++ name unless specialised.
template <class T>
struct TypeName {
    static std::string get() { return demangle(typeid(T).name()); }
};
template <>
struct TypeName<int> {
    static std::string get() { return "int"; }
};
template <>
struct TypeName<float> {
    static std::string get() { return "float"; }
};
template <>
struct TypeName<bool> {
    static std::string get() { return "bool"; }
};

// An object was not of the type a cast asked for. Carries the class name of the
// object found and its printed value, so a caller can say "expects float, got int 18".
template <class T>
class CastException : public BaseException {
public:
    CastException(std::string foundType, std::string foundValue = "")
        : found_(std::move(foundType)), value_(std::move(foundValue)) {}
    std::string message() const override {
        std::string m = "expected " + TypeName<T>::get() + ", got " + found_;
        if (!value_.empty()) m += " " + value_;
        return m;
    }
    const std::string& type() const { return found_; }
    const std::string& value() const { return value_; }
    static std::string expected() { return TypeName<T>::get(); }

private:
    std::string found_;
    std::string value_;
};

}  // namespace FD
