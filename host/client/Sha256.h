// SHA-256 digests, for identifying binary payloads in printed output.
#ifndef TETHER_HOST_SHA256_H_
#define TETHER_HOST_SHA256_H_

#include <cstddef>
#include <string>

namespace tether_host {

// The digest of `size` bytes as 64 lower-case hex digits.
std::string Sha256Hex(const void* bytes, size_t size);

}  // namespace tether_host

#endif  // TETHER_HOST_SHA256_H_
