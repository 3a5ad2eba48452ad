// Memory for large outputs made several at a time. The seven arrays of one
// get_metrics call over a big book (56 MB for 10^6 options) outgrow what the C
// library keeps at the top of its heap, so fresh outputs are fresh pages from
// the system; these cost least as whole huge pages, one fault per 2 MB rather
// than per 4 KB, and whole huge pages spare the address cache. A freed output's
// mapping is kept for the next output of its length (at most eight, each at
// most 32 MB), so that calls whose results are freed at once, or kept alive a
// while, reuse pages already faulted in, as the C library reuses its holes.
#pragma once

#include "numpy/numpy.hpp"

namespace quill::np {

// While one lives, arrays NumPy makes in this context take their memory from
// the module's handler: at least 4 MB on their own huge-page-aligned mapping,
// smaller ones from malloc. It does nothing if the handler cannot be set.
class LargeOutputs {
public:
    LargeOutputs() noexcept;
    ~LargeOutputs();
    LargeOutputs(const LargeOutputs&) = delete;
    LargeOutputs& operator=(const LargeOutputs&) = delete;

private:
    PyObject* previous_;
};

}  // namespace quill::np
