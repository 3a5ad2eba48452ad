#pragma once
#include <vector>
namespace quill {
class Interpolator { std::vector<double> x_; };
}
