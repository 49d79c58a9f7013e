#include "runner/job.hpp"

#include "base/process.hpp"
#include "database/layout.hpp"

namespace ombu {

Job::Job(const char* name)
    : name(name),
      target(name),
      output_name(target + output_suffix),
      prerequisites_name(database_path(target, prerequisites_suffix)),
      pending_name(prerequisites_name + ".build"),
      lock_name(prerequisites_name + ".lock") {}

}  // namespace ombu
