#include "uuid.h"

#include <sys/random.h>

#include <cerrno>

namespace win {

std::string formatUuidV4(const unsigned char (&aBytes)[16]) {
  unsigned char b[16];
  for (int i = 0; i < 16; ++i) b[i] = aBytes[i];
  b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40);
  b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);
  static const char kHex[] = "0123456789abcdef";
  std::string s;
  s.reserve(36);
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) s += '-';
    s += kHex[b[i] >> 4];
    s += kHex[b[i] & 0x0F];
  }
  return s;
}

namespace {

class SystemUuidSource final : public IUuidSource {
 public:
  std::string newUuid() override {
    unsigned char a[16];
    std::size_t nGot = 0;
    while (nGot < sizeof a) {
      const ssize_t n = ::getrandom(a + nGot, sizeof a - nGot, 0);
      if (n < 0) {
        if (errno == EINTR) continue;
        return {};
      }
      nGot += static_cast<std::size_t>(n);
    }
    return formatUuidV4(a);
  }
};

}  // namespace

IUuidSource& systemUuidSource() {
  static SystemUuidSource* const s_pSource = new SystemUuidSource;  // never destroyed, see debugOutput()
  return *s_pSource;
}

}  // namespace win
