// Small text helpers shared by every parser: ASCII case folding (a locale must
// never change how a model name or a command matches), whitespace trimming and
// strict UTF-8 validation (overlong forms, surrogates and code points past
// U+10FFFF are rejected). Pure functions; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace qb {

inline constexpr std::string_view WHITESPACE = " \t\r\n\v\f";

// ASCII letters lowered; every other byte kept.
std::string lowercased(std::string_view text);

bool contains(std::string_view haystack, std::string_view needle);

// `text` without leading and trailing bytes of `chars`.
std::string_view trimmed(std::string_view text, std::string_view chars = WHITESPACE);

// A decimal integer with an optional sign ("+7", "-1") and nothing else.
std::optional<long long> parseDecimalInteger(std::string_view text);

bool isValidUTF8(std::string_view bytes);
bool isValidUTF8(std::span<const std::uint8_t> bytes);

// Mixes `value` into `seed` (boost::hash_combine's rule).
inline void hashCombine(std::size_t& seed, std::size_t value)
{
    seed ^= value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
}

} // namespace qb
