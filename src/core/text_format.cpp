// Shared date, time and size texts.
#include "core/text_format.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

namespace quillon {

std::string format(const char *fmt, ...) {
  va_list args;
  va_start(args, fmt);
  va_list copy;
  va_copy(copy, args);
  const int n = std::vsnprintf(nullptr, 0, fmt, copy);
  va_end(copy);
  std::string out;
  if (n > 0) {
    std::vector<char> buf(static_cast<std::size_t>(n) + 1);
    std::vsnprintf(buf.data(), buf.size(), fmt, args);
    out.assign(buf.data(), static_cast<std::size_t>(n));
  }
  va_end(args);
  return out;
}

std::string sizeText(std::uint64_t bytes) {
  const double s = static_cast<double>(bytes);
  if (s / 1073741824.0 >= 1.0) {
    return format("%.2f GB", s / 1073741824.0);
  }
  if (s / 1048576.0 >= 1.0) {
    return format("%.2f MB", s / 1048576.0);
  }
  if (s / 1024.0 >= 1.0) {
    return format("%.2f KB", s / 1024.0);
  }
  return format("%lld Bytes", static_cast<long long>(bytes));
}

std::string dateTimeText(const std::tm &t) {
  const int year = t.tm_year + 1900;
  const int month = t.tm_mon + 1;
  if (t.tm_hour >= 13) {
    return format("%02d/%02d/%d  %02d:%02d PM", month, t.tm_mday, year, t.tm_hour - 12, t.tm_min);
  }
  return format("%02d/%02d/%d  %02d:%02d AM", month, t.tm_mday, year, t.tm_hour, t.tm_min);
}

std::string dateOnlyText(int month, int day, int year) {
  return format("%02d/%02d/%d ", month, day, year);
}

std::string localDateTimeText(std::int64_t unixSeconds) {
  const std::time_t t = static_cast<std::time_t>(unixSeconds);
  std::tm fields{};
  if (localtime_r(&t, &fields) == nullptr) {
    return {};
  }
  return dateTimeText(fields);
}

std::optional<std::int64_t> filetimeToUnix(std::uint64_t filetime) {
  constexpr std::uint64_t kTicksPerSecond = 10000000ULL;
  constexpr std::int64_t kEpochDelta = 11644473600LL; // seconds from 1601 to 1970
  // Beyond the year 30827 a FILETIME is invalid anyway; this also keeps the sum in range.
  if (filetime == 0 || filetime >= 0x7FFFFFFFFFFFFFFFULL) {
    return std::nullopt;
  }
  return static_cast<std::int64_t>(filetime / kTicksPerSecond) - kEpochDelta;
}

std::string isoUtcText(std::int64_t unixSeconds) {
  const std::time_t t = static_cast<std::time_t>(unixSeconds);
  std::tm fields{};
  if (gmtime_r(&t, &fields) == nullptr) {
    return {};
  }
  // Written digit by digit: listings print three of these per entry.
  const int year = fields.tm_year + 1900;
  if (year < 0 || year > 9999) {
    return format("%04d-%02d-%02dT%02d:%02d:%02dZ", year, fields.tm_mon + 1, fields.tm_mday,
                  fields.tm_hour, fields.tm_min, fields.tm_sec);
  }
  char text[] = "0000-00-00T00:00:00Z";
  const auto put = [&text](std::size_t at, int value, int digits) {
    for (int i = digits - 1; i >= 0; --i) {
      text[at + static_cast<std::size_t>(i)] = static_cast<char>('0' + value % 10);
      value /= 10;
    }
  };
  put(0, year, 4);
  put(5, fields.tm_mon + 1, 2);
  put(8, fields.tm_mday, 2);
  put(11, fields.tm_hour, 2);
  put(14, fields.tm_min, 2);
  put(17, fields.tm_sec, 2);
  return {text, sizeof text - 1};
}

} // namespace quillon
