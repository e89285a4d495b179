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

// A failure of the database itself: the server cannot be reached, did not answer in time, or
// refused a statement. Worth trying again later, unlike a wrong setting or version.
class EDatabaseError : public EServiceError {
public:
    using EServiceError::EServiceError;
};

} // namespace qvx
