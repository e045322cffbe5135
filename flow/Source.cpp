#include "flow/Source.h"

#include <ostream>

namespace FD {

void Source::printOn(std::ostream& out) const {
    out << "<Source " << std::endl;
    out << "<x " << double(x[0]) << " " << double(x[1]) << " " << double(x[2]) << " >" << std::endl;
    out << "<power " << double(power) << " >" << std::endl;
    out << "<id " << id << " >" << std::endl;
    out << ">" << std::endl;
}

void Source::readFrom(std::istream&) {}

ObjectRef Source::clone() { return ObjectRef(new Source(*this)); }

}  // namespace FD
