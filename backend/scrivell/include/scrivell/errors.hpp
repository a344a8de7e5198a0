#pragma once

#include <stdexcept>

namespace scrivell {

// A request the backend cannot carry out: a missing or ill-typed key, a file that is not
// open, a dataset that is not registered.
class Error : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A failing HDF5 call; the message carries the HDF5 error stack's reason.
class H5Error : public Error {
  public:
    using Error::Error;
};

// A scan notification that could not be built or delivered.
class NotifyError : public Error {
  public:
    using Error::Error;
};

}  // namespace scrivell
