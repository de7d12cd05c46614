// The simulated driver's record parser against a model of the kernel's
// kstrtoint(text, 10, &v), for every 8-byte record the fuzzer makes.
#include "queue.hpp"

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>

namespace {

// kstrtoint as documented: one optional '+' or '-', one or more decimal
// digits, at most one trailing newline, nothing else; a value outside
// int is -ERANGE. Written apart from parse_record, so that they can differ.
std::optional<int> kstrtoint_model(std::string_view s)
{
	bool negative = false;
	if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
		negative = s.front() == '-';
		s.remove_prefix(1);
	}
	if (!s.empty() && s.back() == '\n')
		s.remove_suffix(1);
	if (s.empty())
		return std::nullopt;
	long long magnitude = 0;
	for (char c : s) {
		if (c < '0' || c > '9')
			return std::nullopt;
		magnitude = magnitude * 10 + (c - '0');
		if (magnitude > 1LL << 32)
			return std::nullopt; // -ERANGE, and no overflow here
	}
	long long v = negative ? -magnitude : magnitude;
	if (v < INT_MIN || v > INT_MAX)
		return std::nullopt;
	return static_cast<int>(v);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
	// Exactly 8 bytes on the heap, so that ASan sees any read past them.
	auto *record = new char[8]();
	std::memcpy(record, data, size < 8 ? size : 8);
	const char *nul = static_cast<const char *>(std::memchr(record, 0, 8));
	std::string_view text(record, nul ? static_cast<std::size_t>(nul - record) : 8);

	std::optional<int> want = kstrtoint_model(text);
	std::int32_t got = 0;
	bool ok = marnel::sim::parse_record(*reinterpret_cast<char(*)[8]>(record), got);
	if (ok != want.has_value() || (ok && got != *want)) {
		std::fprintf(stderr, "record");
		for (int i = 0; i < 8; i++)
			std::fprintf(stderr, " %02x", static_cast<unsigned char>(record[i]));
		std::fprintf(stderr, ": parse_record %s %d, kstrtoint %s %d\n",
			     ok ? "accepts" : "refuses", got,
			     want ? "accepts" : "refuses", want.value_or(0));
		std::abort();
	}
	delete[] record;
	return 0;
}
