#include "flow/Object.h"

#include <cxxabi.h>

#include <cstdlib>
#include <memory>
#include <ostream>
#include <sstream>

#include "flow/Types.h"

namespace FD {

std::string demangle(const char* mangled) {
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> name(abi::__cxa_demangle(mangled, nullptr, nullptr, &status),
                                                std::free);
    return status == 0 && name ? std::string(name.get()) : std::string(mangled);
}

std::atomic<long>& Object::liveObjects() {
    static std::atomic<long> count{0};
    return count;
}

void Object::serialize(std::ostream&) const {
    throw new GeneralException("objects of type " + className() + " cannot be serialized");
}

void Object::unserialize(std::istream&) {
    throw new GeneralException("objects of type " + className() + " cannot be unserialized");
}

void Object::doesNotUnderstand(std::string method) {
    throw new GeneralException(className() + " does not understand " + method);
}

void Object::printOn(std::ostream& out) const { out << "<" << className() << " >"; }

void Object::readFrom(std::istream&) {
    throw new GeneralException("objects of type " + className() + " cannot be read from text");
}

ObjectRef Object::clone() {
    throw new GeneralException("objects of type " + className() + " cannot be cloned");
}

std::string Object::className() const { return demangle(typeid(*this).name()); }

namespace {
std::vector<ModuleVersion>& versions() {
    static std::vector<ModuleVersion> v;
    return v;
}
}  // namespace

void Object::setModuleVersion(const std::string& name, const std::string& revision,
                              const std::string& version) {
    versions().push_back({name, revision, version});
}

const std::vector<ModuleVersion>& Object::moduleVersions() { return versions(); }

std::string describeType(const Object* o) { return o ? o->className() : std::string("nil"); }

std::string describeValue(const Object* o) {
    if (!o) return "";
    std::ostringstream out;
    if (auto* s = dynamic_cast<const String*>(o)) {
        out << '"' << static_cast<const std::string&>(*s) << '"';
    } else if (dynamic_cast<const Int*>(o) || dynamic_cast<const Float*>(o) ||
               dynamic_cast<const Bool*>(o)) {
        o->printOn(out);
    }
    return out.str();
}

ObjectRef ParameterSet::get(const std::string& name) const {
    auto it = values_.find(name);
    if (it == values_.end()) {
        auto* e = new GeneralException("missing parameter " + name);
        e->place("", name);
        throw e;
    }
    return it->second;
}

}  // namespace FD
