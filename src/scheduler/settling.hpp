// Settling: records whose time is not earlier than the second in which they
// were written are judged by their contents. Once such a record has been
// confirmed by a hash taken after a moment whose second is later than its
// time, every later change of the file gives it a later time, so the records
// may count as written in that moment: the prerequisites file's time is moved
// there, and later judgements trust the time again. The moment is taken
// before the hashes and the file is touched only when every record matched;
// a crash in between leaves the records unsettled, as before.
#pragma once

#include <time.h>

#include <optional>

#include "fingerprint/fingerprint.hpp"
#include "scheduler/prerequisites_reading.hpp"

namespace ombu {

struct settling {
    std::optional<struct timespec> since;  // the moment, when there is anything to settle
    bool possible = false;
};

// True when the record can be confirmed by its contents only.
bool needs_contents(const prerequisite_record& record, const prerequisites_reading& reading);

// Takes the moment when any record needs its contents.
settling begin_settling(const prerequisites_reading& reading);

// One record compared: present is its fingerprint now, fresh whether its hash
// was taken by this comparison (only a hash taken after the moment settles).
void settle_record(settling& settle, const prerequisite_record& record,
                   const prerequisites_reading& reading, const fingerprint& present, bool fresh,
                   bool unchanged);

// Every record matched: moves the prerequisites file's time to the moment.
void finish_settling(const char* target, const settling& settle);

}  // namespace ombu
