// Byte blocks: length-counted byte strings that may hold NUL bytes (page bodies, pictures).
// Deliberately a type of its own so that a block is never mistaken for a text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qelvora {

struct Bytes {
  std::string data;

  Bytes() = default;
  explicit Bytes(std::string bytes) : data(std::move(bytes)) {}
  Bytes(const void* p, std::size_t n) : data(static_cast<const char*>(p), n) {}

  std::size_t size() const { return data.size(); }
  bool empty() const { return data.empty(); }
  std::string_view view() const { return data; }
  const unsigned char* bytes() const { return reinterpret_cast<const unsigned char*>(data.data()); }
  bool operator==(const Bytes&) const = default;
};

// A control byte: below 0x20, or DEL (0x7F).
constexpr bool isControlByte(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte < 0x20 || byte == 0x7F;
}
// Whether bytes hold a control byte anywhere.
bool hasControlByte(std::string_view bytes);

// The bytes of a text without a terminator.
Bytes toBytes(std::string_view text);
int bytesLength(const Bytes& bytes);
// The first min(n, length) bytes; empty if n <= 0.
Bytes leftBytes(const Bytes& bytes, int n);
// n zero bytes; empty if n <= 0.
Bytes zeroBytes(int n);
// The 4 bytes at 1-based position pos as a little-endian signed integer; missing bytes read as 0.
std::int32_t bytesToInt(const Bytes& bytes, int pos);
// A copy of n bytes at address (n <= 0 or a null address gives the empty block).
Bytes bytesFromAddress(const void* address, int n);
// Copies the block's bytes to address, at most maxLength bytes when maxLength >= 0.
void writeToAddress(const Bytes& value, void* address, int maxLength = -1);
// Copies the text's bytes and its terminator to address, at most maxLength bytes when >= 0.
void writeToAddress(std::string_view text, void* address, int maxLength = -1);

inline int bitOr(int a) {
  return a;
}
template <class... Rest>
int bitOr(int a, int b, Rest... rest) {
  return bitOr(a | b, rest...);
}

}  // namespace qelvora
