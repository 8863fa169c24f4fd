// Retention of a backup: the text the agent sends ("30d", "12w", "6m", "1y",
// "forever"), its expiry time, and how both are stored in the header.
// Pure functions apart from the header they are given; any thread.
#pragma once

#include <cstdint>

#include "protocol/formats.h"

namespace orv {

enum class RetentionUnit : uint32_t { none = 0, days = 1, weeks = 2, months = 3, years = 4 };

inline constexpr uint32_t RETENTION_MAX_DAYS = 36500;
inline constexpr uint32_t RETENTION_MAX_WEEKS = 5200;
inline constexpr uint32_t RETENTION_MAX_MONTHS = 1200;
inline constexpr uint32_t RETENTION_MAX_YEARS = 100;

// Accepts "forever" (unit none, count 0) or a count without leading zero
// followed by exactly one of "d", "w", "m", "y" and nothing else, within the
// unit's maximum. Returns 0, or -1 with unit none and count 0.
[[nodiscard]] int retention_parse(const char* text, RetentionUnit* unit, uint32_t* count);

// Expiry time for a backup created at `created`: 0 for unit none; days and
// weeks add whole 86,400 / 604,800-second steps; months and years (12 months
// each) move the UTC calendar date, clamping the day to the length of the
// target month (2024-01-31 + 1m = 2024-02-29, 2024-02-29 + 1y = 2025-02-28),
// keeping the time of day. Saturates at the limits of int64_t.
int64_t retention_expiry(int64_t created, RetentionUnit unit, uint32_t count);

// Stores a retention in the header (expires at 25,669, texts at 25,677 and
// 25,709). An absent or empty retention clears those 72 bytes and succeeds
// without looking at the label. Otherwise the retention must parse and the
// label (absent = empty) must be shorter than 32 characters of "a"-"z",
// "0"-"9", "-" and "_". expires is computed from the header's `created`.
// Returns 0, or -1 with the header unchanged.
[[nodiscard]] int retention_apply(BackupHeader* header, const char* retention_text, const char* label);

}  // namespace orv
