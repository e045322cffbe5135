#include "flow/Source.h"

#include <cmath>

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

double azimuthDegrees(const Source& source) {
    return std::atan2(double(source.x[1]), double(source.x[0])) * 180.0 / 3.141592653589793;
}

}  // namespace FD
