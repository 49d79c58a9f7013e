#include "runner/job.hpp"

#include "base/process.hpp"
#include "database/layout.hpp"

namespace ombu {

Job::Job(const char* name)
    : name(name),
      target(name),
      output_name(target + output_suffix),
      prerequisites_name(database_path(target, prerequisites_suffix)),
      pending_name(database_path(target, pending_suffix)),
      lock_name(database_path(target, lock_suffix)) {}

}  // namespace ombu
