// UUID creation: random (version 4) UUIDs as 36 lower-case characters.
#pragma once

#include <string>

namespace win {

class IUuidSource {
 public:
  virtual ~IUuidSource() = default;
  // A new UUID, or an empty text when the random source fails.
  virtual std::string newUuid() = 0;
};

// Draws from the kernel's random source.
IUuidSource& systemUuidSource();

// Formats 16 random bytes as a version 4, variant 1 UUID.
std::string formatUuidV4(const unsigned char (&aBytes)[16]);

}  // namespace win
