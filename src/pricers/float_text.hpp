#pragma once
#include <string>
namespace quill {
std::string float_text(double x);
}
