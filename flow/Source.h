// One sound source in one frame: a direction, a strength and an identifier.
// A frame's sources travel as one FD::Vector<FD::ObjectRef> of these records.
#pragma once

#include <cstdint>
#include <iosfwd>

#include "flow/Types.h"

namespace FD {

class Source : public Object {
public:
    Source() = default;
    ~Source() override = default;

    void printOn(std::ostream& out) const override;
    // A source cannot be built from its text form: reads nothing.
    void readFrom(std::istream& in) override;
    ObjectRef clone() override;
    std::string className() const override { return "Source"; }

    float x[3] = {0.0f, 0.0f, 0.0f};  // unit direction (cos az, sin az, 0)
    float power = 0.0f;               // strength: peak score, or 1 for tracked / speech
    int32_t id = 0;                   // identifier within its frame
    float reserved = 0.0f;            // written 0 by every producer, read by none
    int32_t spare[2] = {0, 0};        // carried by clone() only
    uint32_t opaque[3][3] = {};       // carried by clone() only
    uint32_t last = 0;                // carried by clone() only
};

// The direction of `source` in degrees, atan2(x[1], x[0]), as results report it.
double azimuthDegrees(const Source& source);

template <>
struct TypeName<Source> {
    static std::string get() { return "Source"; }
};

}  // namespace FD
