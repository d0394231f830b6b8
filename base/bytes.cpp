#include "base/bytes.h"

#include <algorithm>
#include <cstring>

namespace qelvora {

bool hasControlByte(std::string_view bytes) {
  for (char c : bytes)
    if (isControlByte(c)) return true;
  return false;
}

Bytes toBytes(std::string_view text) {
  return Bytes(std::string(text));
}

int bytesLength(const Bytes& bytes) {
  return static_cast<int>(bytes.size());
}

Bytes leftBytes(const Bytes& bytes, int n) {
  if (n <= 0) return {};
  return Bytes(bytes.data.substr(0, static_cast<std::size_t>(n)));
}

Bytes zeroBytes(int n) {
  if (n <= 0) return {};
  return Bytes(std::string(static_cast<std::size_t>(n), '\0'));
}

std::int32_t bytesToInt(const Bytes& bytes, int pos) {
  std::uint32_t value = 0;
  // 64-bit offsets: pos near INT_MAX must not wrap into the block.
  const long long first = static_cast<long long>(pos) - 1;
  for (int k = 0; k < 4; ++k) {
    const long long at = first + k;
    if (at < 0 || at >= static_cast<long long>(bytes.size())) continue;  // missing bytes read as 0
    value |= static_cast<std::uint32_t>(bytes.bytes()[at]) << (8 * k);
  }
  return static_cast<std::int32_t>(value);
}

Bytes bytesFromAddress(const void* address, int n) {
  if (address == nullptr || n <= 0) return {};
  return Bytes(address, static_cast<std::size_t>(n));
}

void writeToAddress(const Bytes& value, void* address, int maxLength) {
  if (address == nullptr) return;
  std::size_t n = value.size();
  if (maxLength >= 0) n = std::min(n, static_cast<std::size_t>(maxLength));
  if (n > 0) std::memcpy(address, value.data.data(), n);
}

void writeToAddress(std::string_view text, void* address, int maxLength) {
  if (address == nullptr) return;
  std::size_t n = text.size() + 1;  // with the terminator
  if (maxLength >= 0) n = std::min(n, static_cast<std::size_t>(maxLength));
  const std::size_t fromText = std::min(n, text.size());
  if (fromText > 0) std::memcpy(address, text.data(), fromText);
  if (n > text.size()) static_cast<char*>(address)[text.size()] = '\0';
}

}  // namespace qelvora
