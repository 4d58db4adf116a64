#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace glb::backup::paradox {

/// The table cipher works on 256-byte chunks.
inline constexpr std::size_t kChunkSize = 256;

/// The cipher's three constant tables ('A', 'B', 'C'), 256 bytes each.
std::span<const std::uint8_t, 256> cipherTable(char which);

/// Encrypts one chunk with parameters a, b, c, d. `in` and `out` must not overlap.
void encryptChunk(const std::uint8_t* in, std::uint8_t* out, std::uint8_t a, std::uint8_t b, std::uint8_t c,
                  std::uint8_t d);
/// Decrypts one chunk; the inverse of encryptChunk. `in` and `out` must not overlap.
void decryptChunk(const std::uint8_t* in, std::uint8_t* out, std::uint8_t a, std::uint8_t b, std::uint8_t c,
                  std::uint8_t d);

/// Decrypts data block `blockNumber` (1-based) in place with the table key `key`; a
/// partial last chunk (a block cut short by the end of the file) is decrypted as if
/// padded with zeros.
void decryptBlock(std::uint8_t* block, std::size_t size, std::uint32_t blockNumber, std::uint32_t key);
/// Encrypts a whole block in place (the writer's direction, used by tests).
void encryptBlock(std::uint8_t* block, std::size_t size, std::uint32_t blockNumber, std::uint32_t key);

/// The checksum a table stores for the password `password` (its bytes in the table's
/// code page); 0 for an empty password. Passwords over 255 bytes have no checksum: 0.
std::uint32_t passwordChecksum(std::string_view password);

} // namespace glb::backup::paradox
