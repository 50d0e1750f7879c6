#pragma once

// Byte ranges and entity tags as the test server answers them, so that a
// client's resumed download ("Range: bytes=N-" with "If-Range: <tag>") can be
// tested against it. Pure functions, no sockets.

#include "tests/server/http_messages.h"

#include <cstdint>
#include <string>

namespace test_http {

// A strong tag: "\"<16 lower-case hex digits>\"", FNV-1a 64 of the whole
// representation, so that any change of its bytes changes the tag.
std::string EntityTag(const std::string& body);

struct RangeChoice {
  enum Kind { kWhole, kPart, kUnsatisfiable };
  Kind kind = kWhole;
  // kPart: the part's first and last byte, inclusive, both below the size.
  std::uint64_t first = 0;
  std::uint64_t last = 0;
};

// How to answer request for a representation of size bytes tagged etag.
// Only a GET with exactly one Range header "bytes=N-" or "bytes=N-M" asks for
// a part; anything else (other methods, several ranges, a suffix range "-M",
// M < N, stray blanks, another unit) is ignored and gets the whole, as HTTP
// allows. So does a request whose If-Range is not byte for byte etag. M past
// the end means the end; N at or past it is unsatisfiable.
RangeChoice ChooseRange(const RecordedRequest& request, const std::string& etag, std::uint64_t size);

// The Content-Range value: "bytes N-L/SIZE" for a part, "bytes */SIZE" when
// unsatisfiable.
std::string ContentRangeValue(const RangeChoice& choice, std::uint64_t size);

}  // namespace test_http
