#include "store/retention.h"

#include <cstring>
#include <limits>
#include <string_view>

#include "core/text.h"

namespace orv {

namespace {

constexpr int64_t kSecondsPerDay = 86400;
constexpr int64_t kSecondsPerWeek = 604800;
constexpr uint32_t kDigitLimit = 100000;  // no further digit once the value exceeds this
constexpr size_t kLabelMax = 31;
constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
constexpr int64_t kMin = std::numeric_limits<int64_t>::min();

int64_t saturating_add(int64_t a, int64_t b) {
  int64_t r;
  if (__builtin_add_overflow(a, b, &r)) return b > 0 ? kMax : kMin;
  return r;
}

int64_t floor_div(int64_t a, int64_t b) {
  int64_t q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}

bool is_leap(int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

uint32_t month_length(int64_t y, uint32_t month /* 1..12 */) {
  static constexpr uint32_t kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month == 2 && is_leap(y)) return 29;
  return kDays[month - 1];
}

// Proleptic Gregorian date <-> days since 1970-01-01, using 400-year eras
// that start on March 1 so that the leap day is the last day of an era year.
int64_t days_from_civil(int64_t y, uint32_t m, uint32_t d) {
  y -= m <= 2 ? 1 : 0;
  int64_t era = floor_div(y, 400);
  int64_t yoe = y - era * 400;                                       // [0, 399]
  int64_t mp = m > 2 ? m - 3 : m + 9;                                // [0, 11]
  int64_t doy = (153 * mp + 2) / 5 + static_cast<int64_t>(d) - 1;    // [0, 365]
  int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;               // [0, 146096]
  return era * 146097 + doe - 719468;
}

void civil_from_days(int64_t z, int64_t* y, uint32_t* m, uint32_t* d) {
  z += 719468;
  int64_t era = floor_div(z, 146097);
  int64_t doe = z - era * 146097;                                    // [0, 146096]
  int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;  // [0, 399]
  int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);             // [0, 365]
  int64_t mp = (5 * doy + 2) / 153;                                  // [0, 11]
  *d = static_cast<uint32_t>(doy - (153 * mp + 2) / 5 + 1);
  *m = static_cast<uint32_t>(mp < 10 ? mp + 3 : mp - 9);
  *y = yoe + era * 400 + (*m <= 2 ? 1 : 0);
}

int64_t add_months(int64_t created, int64_t months) {
  int64_t days = floor_div(created, kSecondsPerDay);
  int64_t secs = created - days * kSecondsPerDay;
  int64_t y;
  uint32_t m, d;
  civil_from_days(days, &y, &m, &d);
  int64_t index = static_cast<int64_t>(m - 1) + months;
  y += floor_div(index, 12);
  uint32_t new_month = static_cast<uint32_t>(index - floor_div(index, 12) * 12) + 1;
  uint32_t len = month_length(y, new_month);
  if (d > len) d = len;
  int64_t new_days = days_from_civil(y, new_month, d);
  int64_t r;
  if (__builtin_mul_overflow(new_days, kSecondsPerDay, &r)) return new_days > 0 ? kMax : kMin;
  return saturating_add(r, secs);
}

bool label_ok(const char* label) {
  size_t n = strlen(label);
  if (n > kLabelMax) return false;
  for (size_t i = 0; i < n; ++i) {
    char c = label[i];
    bool ok = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
    if (!ok) return false;
  }
  return true;
}

}  // namespace

int retention_parse(const char* text, RetentionUnit* unit, uint32_t* count) {
  *unit = RetentionUnit::none;
  *count = 0;
  if (text == nullptr || text[0] == '\0') return -1;
  if (strcmp(text, "forever") == 0) return 0;
  if (text[0] < '1' || text[0] > '9') return -1;
  uint32_t value = 0;
  const char* p = text;
  while (*p >= '0' && *p <= '9') {
    if (value > kDigitLimit) return -1;
    value = value * 10 + static_cast<uint32_t>(*p - '0');
    ++p;
  }
  if (p[0] == '\0' || p[1] != '\0') return -1;
  RetentionUnit u;
  uint32_t max;
  switch (p[0]) {
    case 'd': u = RetentionUnit::days; max = RETENTION_MAX_DAYS; break;
    case 'w': u = RetentionUnit::weeks; max = RETENTION_MAX_WEEKS; break;
    case 'm': u = RetentionUnit::months; max = RETENTION_MAX_MONTHS; break;
    case 'y': u = RetentionUnit::years; max = RETENTION_MAX_YEARS; break;
    default: return -1;
  }
  if (value > max) return -1;
  *unit = u;
  *count = value;
  return 0;
}

int64_t retention_expiry(int64_t created, RetentionUnit unit, uint32_t count) {
  switch (unit) {
    case RetentionUnit::days: return saturating_add(created, static_cast<int64_t>(count) * kSecondsPerDay);
    case RetentionUnit::weeks: return saturating_add(created, static_cast<int64_t>(count) * kSecondsPerWeek);
    case RetentionUnit::months: return add_months(created, count);
    case RetentionUnit::years: return add_months(created, static_cast<int64_t>(count) * 12);
    case RetentionUnit::none: break;
  }
  return 0;
}

int retention_apply(BackupHeader* header, const char* retention_text, const char* label) {
  if (header == nullptr) return -1;
  std::span<uint8_t> b = header->span();
  constexpr size_t kFieldsSize = HDR_EXPIRES_SIZE + HDR_RETENTION_SIZE + HDR_LABEL_SIZE;
  static_assert(kFieldsSize == 72);
  if (retention_text == nullptr || retention_text[0] == '\0') {
    memset(header->bytes + HDR_EXPIRES_OFF, 0, kFieldsSize);
    return 0;
  }
  RetentionUnit unit;
  uint32_t count;
  if (retention_parse(retention_text, &unit, &count) != 0) return -1;
  if (label == nullptr) label = "";
  if (!label_ok(label)) return -1;
  put_i64_le(b, HDR_EXPIRES_OFF, retention_expiry(header_created(*header), unit, count));
  put_text_field(b, HDR_RETENTION_OFF, HDR_RETENTION_SIZE, retention_text);
  put_text_field(b, HDR_LABEL_OFF, HDR_LABEL_SIZE, label);
  return 0;
}

}  // namespace orv
