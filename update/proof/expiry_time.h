#pragma once

// The expiry time a signed manifest may carry: UTC in exactly the form
// "YYYY-MM-DDTHH:MM:SSZ", as seconds since 1970-01-01T00:00:00Z. Pure; any
// thread; no time zone or C library clock involved, so the publisher and every
// client read the text alike.

#include <cstdint>
#include <string>

// False for any other text: another length or separator, a lower-case 'z', a
// sign, a month, day, hour, minute or second out of its range (February 29th
// only in leap years), a year before 1970.
bool ParseExpiryTime(const std::string& text, std::int64_t& secondsSinceEpoch);

// The form above; secondsSinceEpoch from 0 to the end of year 9999.
std::string FormatExpiryTime(std::int64_t secondsSinceEpoch);
