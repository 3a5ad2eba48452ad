#pragma once
#include <vector>
#include "enums/extrap_type.hpp"
#include "enums/interp_type.hpp"
namespace quill {
// Placeholder with the final interface; the real table replaces it.
class Interpolator {
public:
    Interpolator(std::vector<double> nodes_x, std::vector<double> nodes_y, InterpType interp_type, ExtrapType extrap_type)
        : x_(std::move(nodes_x)), y_(std::move(nodes_y)), i_(interp_type), e_(extrap_type) {}
    double interpolate(double) const { return y_.front(); }
    const std::vector<double>& nodes_x() const noexcept { return x_; }
    const std::vector<double>& nodes_y() const noexcept { return y_; }
    InterpType interp_type() const noexcept { return i_; }
    ExtrapType extrap_type() const noexcept { return e_; }
private:
    std::vector<double> x_, y_;
    InterpType i_;
    ExtrapType e_;
};
}
