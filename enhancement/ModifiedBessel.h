// Modified Bessel functions of the first kind, orders 0 and 1, in double precision, by the
// polynomial approximations of Abramowitz and Stegun (formulas 9.8.1 to 9.8.4):
//
//   |x| < 3.75:  I0(x) = P0(t),            I1(x) = |x| P1(t),             t = (x / 3.75)^2
//   |x| >= 3.75: I0(x) = e^|x| / sqrt|x| Q0(u), I1(x) = e^|x| / sqrt|x| Q1(u), u = 3.75 / |x|
//
// with I1 negated for negative x. Stated absolute errors of the approximations: 1.6e-7 on I0
// (small |x|), 8e-9 on I1(x) / x (small |x|), 1.9e-7 and 2.2e-7 on sqrt(x) e^-x I0(x) and
// sqrt(x) e^-x I1(x) (large |x|). Each polynomial is evaluated by Horner's rule from its
// highest coefficient. Above |x| of about 709.78 the exponential overflows and the result
// is infinite.
#pragma once

class ModifiedBessel {
public:
    static double besseli0(double x);
    static double besseli1(double x);
    // Both at once, each bit-identical to the function above; shares the exponential.
    static void besseli01(double x, double& i0, double& i1);
};
