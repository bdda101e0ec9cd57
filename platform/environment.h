#pragma once
// The process's environment variables, as the collectors read them (the
// program search path of the machine, for one).
//
// On win32 GetEnvironmentVariableW; a value of any length is taken whole.
//
// On POSIX the process's own environment, the name matched exactly and then
// without regard to A-Z case. "PATH" is given in Windows form: its pieces
// (separated by ":" on the host) are mapped through the drive table and
// joined with ";" ("/usr/bin:/bin" is "Z:\usr\bin;Z:\bin" by default); an
// empty piece stays empty, and a relative one only has its "/" turned.

#include <string>

#include "platform/facility.h"

namespace orvalinth::platform {

class Environment : public Facility<Environment> {
 public:
  virtual ~Environment() = default;
  // The value of the variable `name`; false with kErrorEnvVarNotFound (203)
  // when it is not set.
  virtual bool Variable(const std::u16string& name, std::u16string* value) = 0;
};

template <>
Environment& Facility<Environment>::Real();

}  // namespace orvalinth::platform
