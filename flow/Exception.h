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
    // Full readable text of the error, on one line: the node and the frame it
    // concerns, when known, then what went wrong.
    virtual std::string message() const = 0;
    void print(std::ostream& out = std::cerr) const { out << message() << '\n'; }

    // Where it happened, set by whoever knows: the node (`Type "name"`), the
    // parameter or port it is about, the frame being computed (-1 when none).
    const std::string& node() const { return node_; }
    const std::string& subject() const { return subject_; }
    int frame() const { return frame_; }
    void place(const std::string& node, const std::string& subject, int frame = -1) {
        node_ = node;
        subject_ = subject;
        frame_ = frame;
    }
    void setFrame(int frame) { frame_ = frame; }

protected:
    // `text` after the node and the frame: `Type "name": frame 12: text`.
    std::string placed(const std::string& text) const {
        std::string m = node_.empty() ? std::string() : node_ + ": ";
        if (frame_ >= 0) m += "frame " + std::to_string(frame_) + ": ";
        return m + text;
    }

private:
    std::string node_, subject_;
    int frame_ = -1;
};

// What a std::bad_alloc is reported as, after the node and the frame when known.
constexpr const char* kOutOfMemory = "out of memory (the machine could not provide the memory asked for)";

// Any failure of the host or of a node, with a free text.
class GeneralException : public BaseException {
public:
    explicit GeneralException(std::string text) : text_(std::move(text)) {}
    std::string message() const override { return placed(text_); }

private:
    std::string text_;
};

// A frame outside the window an output buffer keeps.
class BufferException : public BaseException {
public:
    BufferException(std::string text, int count, int oldest, int newest)
        : text_(std::move(text)), count_(count), oldest_(oldest), newest_(newest) {}
    std::string message() const override {
        return placed(text_ + " (frame " + std::to_string(count_) + ", buffer holds " +
                      std::to_string(oldest_) + " to " + std::to_string(newest_) + ")");
    }

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

// An object was not of the type a cast asked for: the type expected, the class
// name of the object found and its printed value ("expected float, got int 18";
// placed at a parameter, "GAIN expects float, got int 18").
class TypeError : public BaseException {
public:
    virtual std::string expected() const = 0;
    // "int 18", "string \"abc\"", "Matrix<float>".
    std::string found() const { return value_.empty() ? found_ : found_ + " " + value_; }
    std::string message() const override {
        return placed(subject().empty() ? "expected " + expected() + ", got " + found()
                                        : subject() + " expects " + expected() + ", got " + found());
    }

protected:
    TypeError(std::string foundType, std::string foundValue)
        : found_(std::move(foundType)), value_(std::move(foundValue)) {}

private:
    std::string found_;
    std::string value_;
};

template <class T>
class CastException : public TypeError {
public:
    CastException(std::string foundType, std::string foundValue = "")
        : TypeError(std::move(foundType), std::move(foundValue)) {}
    std::string expected() const override { return TypeName<T>::get(); }
};

}  // namespace FD
