// SPDX-License-Identifier: MIT
// An error the form raises rather than reports, such as a counter that holds
// no number. Nothing in the form traps it; the application reports it and ends.
#pragma once

#include <stdexcept>

namespace swipewatch {

class RuntimeError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

} // namespace swipewatch
