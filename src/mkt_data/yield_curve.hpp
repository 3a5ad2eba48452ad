#pragma once
namespace quill {
class YieldCurve { int x_; };
}
