// SPDX-License-Identifier: MIT
// A checked cursor over a byte span. Every read either succeeds and advances
// or fails and leaves the reader where it was, so parsers test each result
// and never touch bytes outside the span.
#pragma once

#include <cstddef>
#include <bit>
#include <cstdint>
#include <span>

class ByteReader {
 public:
  constexpr ByteReader() = default;
  constexpr explicit ByteReader(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  // A null pointer or a length of 0 or less gives an empty reader.
  ByteReader(const unsigned char *data, long len)
      : bytes_(data != nullptr && len > 0 ? std::span<const uint8_t>(data, static_cast<size_t>(len))
                                          : std::span<const uint8_t>()) {}

  constexpr size_t remaining() const { return bytes_.size(); }
  constexpr bool empty() const { return bytes_.empty(); }
  // The unread bytes.
  constexpr std::span<const uint8_t> rest() const { return bytes_; }

  // A reader over at most the next n bytes; this one does not move.
  constexpr ByteReader prefix(size_t n) const {
    return ByteReader(bytes_.first(n < bytes_.size() ? n : bytes_.size()));
  }

  constexpr bool skip(size_t n) {
    if (n > bytes_.size()) return false;
    bytes_ = bytes_.subspan(n);
    return true;
  }

  constexpr bool peek_u8(size_t at, uint8_t *out) const {
    if (at >= bytes_.size()) return false;
    *out = bytes_[at];
    return true;
  }

  constexpr bool read_u8(uint8_t *out) {
    if (!peek_u8(0, out)) return false;
    bytes_ = bytes_.subspan(1);
    return true;
  }

  constexpr bool read_u16_le(uint16_t *out) {
    if (bytes_.size() < 2) return false;
    *out = static_cast<uint16_t>(bytes_[0] | (bytes_[1] << 8));
    bytes_ = bytes_.subspan(2);
    return true;
  }

  constexpr bool read_u16_be(uint16_t *out) {
    if (bytes_.size() < 2) return false;
    *out = static_cast<uint16_t>((bytes_[0] << 8) | bytes_[1]);
    bytes_ = bytes_.subspan(2);
    return true;
  }

  constexpr bool read_u32_be(uint32_t *out) {
    if (bytes_.size() < 4) return false;
    *out = static_cast<uint32_t>(bytes_[0]) << 24 | static_cast<uint32_t>(bytes_[1]) << 16 |
           static_cast<uint32_t>(bytes_[2]) << 8 | bytes_[3];
    bytes_ = bytes_.subspan(4);
    return true;
  }

  // In the byte order of the machine, as the kernel writes its own records.
  constexpr bool read_u16_host(uint16_t *out) {
    return std::endian::native == std::endian::little ? read_u16_le(out) : read_u16_be(out);
  }

  constexpr bool read_bytes(size_t n, std::span<const uint8_t> *out) {
    if (n > bytes_.size()) return false;
    *out = bytes_.first(n);
    bytes_ = bytes_.subspan(n);
    return true;
  }

  // An 802.11 element: an id byte, a length byte and that many bytes of
  // body, which *body then reads on its own. Fails, without moving, when the
  // header or the body runs past the end.
  constexpr bool read_element(uint8_t *id, ByteReader *body) {
    if (bytes_.size() < 2 || bytes_[1] > bytes_.size() - 2) return false;
    *id = bytes_[0];
    *body = ByteReader(bytes_.subspan(2, bytes_[1]));
    bytes_ = bytes_.subspan(2 + static_cast<size_t>(bytes_[1]));
    return true;
  }

  // Moves to the next byte equal to value (the current one included); when
  // there is none, returns false without moving.
  constexpr bool skip_to(uint8_t value) {
    for (size_t i = 0; i < bytes_.size(); ++i) {
      if (bytes_[i] == value) {
        bytes_ = bytes_.subspan(i);
        return true;
      }
    }
    return false;
  }

 private:
  std::span<const uint8_t> bytes_;
};
