// Text formats shared by every part of the program: printf-style formatting into a string,
// date and time texts as the lists show them, size texts, and the UTC ISO 8601 form that the
// command line prints.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

namespace quillon {

// snprintf into a std::string; used for every fixed text with numbers in it.
[[nodiscard]] std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// "%.2f GB" / "%.2f MB" / "%.2f KB" / "%lld Bytes", by the largest unit that is at least 1.
[[nodiscard]] std::string sizeText(std::uint64_t bytes);

// Calendar fields as the lists show them: "MM/DD/YYYY  hh:mm AM|PM". From 13:00 on the hour is
// shown less 12 with PM; before that it is shown unchanged with AM.
[[nodiscard]] std::string dateTimeText(const std::tm &fields);
// "MM/DD/YYYY " (with the trailing space).
[[nodiscard]] std::string dateOnlyText(int month, int day, int year);

// Seconds since 1970 in local time (localtime_r, so TZ is honoured) as dateTimeText.
[[nodiscard]] std::string localDateTimeText(std::int64_t unixSeconds);

// Windows FILETIME (100 ns ticks since 1601) to Unix seconds; nullopt for 0 and values that
// do not fit a calendar.
[[nodiscard]] std::optional<std::int64_t> filetimeToUnix(std::uint64_t filetime);

// "2020-09-13T12:26:40Z".
[[nodiscard]] std::string isoUtcText(std::int64_t unixSeconds);

} // namespace quillon
