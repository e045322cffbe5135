#include "enhancement/ModifiedBessel.h"

#include <cmath>

namespace {

// I0(x) for |x| < 3.75, in t = (x / 3.75)^2.
inline double smallI0(double t) {
    return 1.0 + t * (3.5156229 +
                      t * (3.0899424 + t * (1.2067492 + t * (0.2659732 + t * (0.0360768 + t * 0.0045813)))));
}

// I1(x) / |x| for |x| < 3.75, in t = (x / 3.75)^2.
inline double smallI1(double t) {
    return 0.5 +
           t * (0.87890594 +
                t * (0.51498869 + t * (0.15084934 + t * (0.02658733 + t * (0.00301532 + t * 0.00032411)))));
}

// sqrt(x) e^-x I0(x) for |x| >= 3.75, in u = 3.75 / |x|.
inline double largeI0(double u) {
    return 0.39894228 +
           u * (0.01328592 +
                u * (0.00225319 +
                     u * (-0.00157565 +
                          u * (0.00916281 +
                               u * (-0.02057706 + u * (0.02635537 + u * (-0.01647633 + u * 0.00392377)))))));
}

// sqrt(x) e^-x I1(x) for |x| >= 3.75, in u = 3.75 / |x|.
inline double largeI1(double u) {
    return 0.39894228 +
           u * (-0.03988024 +
                u * (-0.00362018 +
                     u * (0.00163801 +
                          u * (-0.01031555 +
                               u * (0.02282967 + u * (-0.02895312 + u * (0.01787654 + u * -0.00420059)))))));
}

}  // namespace

double ModifiedBessel::besseli0(double x) {
    const double ax = std::fabs(x);
    if (3.75 > ax) {
        const double y = x / 3.75;
        return smallI0(y * y);
    }
    return (std::exp(ax) / std::sqrt(ax)) * largeI0(3.75 / ax);
}

double ModifiedBessel::besseli1(double x) {
    const double ax = std::fabs(x);
    double result;
    if (3.75 > ax) {
        const double y = x / 3.75;
        result = ax * smallI1(y * y);
    } else {
        result = (std::exp(ax) / std::sqrt(ax)) * largeI1(3.75 / ax);
    }
    return 0 > x ? -result : result;
}

void ModifiedBessel::besseli01(double x, double& i0, double& i1) {
    const double ax = std::fabs(x);
    if (3.75 > ax) {
        const double y = x / 3.75;
        const double t = y * y;
        i0 = smallI0(t);
        i1 = ax * smallI1(t);
    } else {
        const double scale = std::exp(ax) / std::sqrt(ax);
        const double u = 3.75 / ax;
        i0 = scale * largeI0(u);
        i1 = scale * largeI1(u);
    }
    if (0 > x) i1 = -i1;
}
