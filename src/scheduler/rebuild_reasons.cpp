#include "scheduler/rebuild_reasons.hpp"

#include <ctime>
#include <ostream>
#include <string>

#include "base/diagnostics.hpp"
#include "base/settings.hpp"

namespace ombu {

namespace {

std::string local_time(std::int64_t timestamp) {
    const auto seconds = static_cast<std::time_t>(timestamp);
    struct tm parts;
    char text[64];
    if (localtime_r(&seconds, &parts) == nullptr ||
        std::strftime(text, sizeof text, "%F %T %z", &parts) == 0) {
        return std::to_string(timestamp);
    }
    return text;
}

}  // namespace

difference compare(const fingerprint& recorded, const fingerprint& present, bool trust_time) {
    if (recorded.type != present.type) {
        return present.type == absent ? difference::vanished : difference::changed_type;
    }
    if (recorded.type == absent) return difference::none;
    const bool same_time = recorded.timestamp == present.timestamp;
    if (same_time && trust_time) return difference::none;
    // A directory or special file has no contents to compare: its time,
    // equal but not to be trusted, may hide a change made later in its second.
    if (recorded.type != regular_file) {
        return same_time ? difference::same_second : difference::changed_timestamp;
    }
    return recorded.hash == present.hash ? difference::none : difference::changed_hash;
}

void report_missing_target(const char* program_name, const char* target) {
    if (!verbose_flag) return;
    diagnostic_prefix(program_name, log_level::info)
        << target << " needs rebuilding because it does not exist.\n";
}

void report_difference(const char* program_name, const char* target,
                       const prerequisite_record& record, const fingerprint& present,
                       difference found) {
    std::ostream& out = diagnostic_prefix(program_name, log_level::info);
    out << target << " needs rebuilding because " << record.name;
    switch (found) {
        case difference::vanished:
            out << " does not exist.\n";
            break;
        case difference::changed_type:
            out << " has changed type.\n";
            break;
        case difference::changed_timestamp:
            out << " has changed timestamp from " << local_time(record.print.timestamp) << " to "
                << local_time(present.timestamp) << ".\n";
            break;
        case difference::same_second:
            out << " may have changed after it was recorded, within the second of its time ("
                << local_time(record.print.timestamp) << ").\n";
            break;
        case difference::changed_hash:
            out << " has changed hash value from ";
            write_hash(out, record.print.hash);
            out << " to ";
            write_hash(out, present.hash);
            out << ".\n";
            break;
        case difference::none:
            break;
    }
}

}  // namespace ombu
