// A one-dimensional interpolation table over strictly increasing abscissae,
// linear or linear in log(y), with a rule for what happens outside the nodes.
#pragma once

#include <vector>

#include "enums/extrap_type.hpp"
#include "enums/interp_type.hpp"

namespace quill {

class Interpolator {
public:
    // Validates in order (quill::Error with the user-facing message on the
    // first failure) and takes the arrays over.
    Interpolator(std::vector<double> nodes_x, std::vector<double> nodes_y, InterpType interp_type,
                 ExtrapType extrap_type);

    // The value at x. Reports no errors; quill::Failure for the spline types
    // (which cannot be evaluated between nodes) and for a NaN x.
    double interpolate(double x) const;

    const std::vector<double>& nodes_x() const noexcept { return nodes_x_; }
    const std::vector<double>& nodes_y() const noexcept { return nodes_y_; }
    InterpType interp_type() const noexcept { return interp_type_; }
    ExtrapType extrap_type() const noexcept { return extrap_type_; }

private:
    enum class Side { left, inside, right };

    double linear(double x, Side side) const;
    double geometric(double x, Side side) const;
    // The segment i with x_i < x <= x_(i+1), for x_0 < x < x_(n-1).
    std::size_t segment(double x) const noexcept;

    std::vector<double> nodes_x_;
    std::vector<double> nodes_y_;
    std::vector<double> slopes_;  // Linear only: one per segment, in index order
    ExtrapType extrap_type_;
    InterpType interp_type_;
};

}  // namespace quill
