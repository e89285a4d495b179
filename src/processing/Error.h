// The one exception type of the service host and the worker. Its message is Windows-1251
// text, written to the service log by the two places that catch it: the start handler and
// the worker loop.
#pragma once

#include <stdexcept>
#include <string>

namespace qvx {

class EServiceError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

} // namespace qvx
