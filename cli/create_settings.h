// What `kistle create` takes from its options and environment about the
// entries it stores: times (--mtime, SOURCE_DATE_EPOCH) and owners
// (--owner, --group).
#ifndef KISTLE_CLI_CREATE_SETTINGS_H
#define KISTLE_CLI_CREATE_SETTINGS_H

#include <optional>
#include <string_view>

#include <kistle/archive.h>

// "@SECONDS[.FRACTION]", or a date "YYYY-MM-DD" with an optional time
// "[T| ]HH:MM[:SS[.FRACTION]]" and zone "Z" or "+HH:MM"/"-HH:MM" (local
// time without one). Nothing when the text is anything else.
std::optional<kistle::file_time> parse_time(std::string_view text);

// "NAME", "ID" or "NAME:ID", for users (user true) or groups. A name alone
// takes the system's ID for it; an ID alone the system's name for it
// unless numeric. Nothing for an unknown name without an ID, or bad text.
std::optional<kistle::owner_id> parse_owner(std::string_view text, bool user, bool numeric);

// SOURCE_DATE_EPOCH: a whole number of seconds; nothing when it is unset
// or empty, and fails (nothing, with valid false) when it is not a number.
std::optional<kistle::file_time> source_date_epoch(bool& valid);

#endif
