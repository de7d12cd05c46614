// MARNEL_SIM_READS's parser on any text: no crash, hang or leak (the
// sanitizers and libFuzzer watch), a one-line error for bad text, and a
// parsed script that reads the same when written back.
#include "reads.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

using marnel::sim::ScriptedRead;

namespace {

void check(bool ok, const char *what)
{
	if (!ok) {
		std::fprintf(stderr, "fuzz-reads: %s\n", what);
		std::abort();
	}
}

std::string written(const std::vector<ScriptedRead> &reads)
{
	static const char digits[] = "0123456789abcdef";
	std::string out;
	for (const auto &r : reads) {
		out += r.result < 0 ? "-" + std::to_string(r.error) : std::to_string(r.result);
		if (!r.bytes.empty())
			out += ':';
		for (char b : r.bytes) {
			auto c = static_cast<unsigned char>(b);
			out += digits[c >> 4];
			out += digits[c & 15];
		}
		out += ';';
	}
	return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
	std::string_view text(reinterpret_cast<const char *>(data), size);
	std::vector<ScriptedRead> reads;
	std::string why;
	if (!marnel::sim::parse_reads(text, reads, why)) {
		check(why.starts_with("bad MARNEL_SIM_READS entry '"), "error names no entry");
		check(why.size() < 200, "error longer than a line");
		for (char c : why)
			check(c >= 0x20 && c < 0x7f, "error is not one printable line");
		check(reads.empty(), "a refused script left entries");
		return 0;
	}
	std::size_t items = 0, start = 0;
	for (std::size_t i = 0; i <= text.size(); i++) {
		if (i == text.size() || text[i] == ';') {
			items += i > start;
			start = i + 1;
		}
	}
	check(reads.size() == items, "not one entry per non-empty item");
	for (const auto &r : reads)
		check(r.result >= 0 ? r.error == 0 : r.result == -1 && r.error >= 1 && r.error <= 4095,
		      "result and errno disagree");
	std::vector<ScriptedRead> again;
	check(marnel::sim::parse_reads(written(reads), again, why), "written back, refused");
	check(again.size() == reads.size(), "written back, a different count");
	for (std::size_t i = 0; i < reads.size(); i++)
		check(again[i].result == reads[i].result && again[i].error == reads[i].error &&
			      again[i].bytes == reads[i].bytes,
		      "written back, a different entry");
	return 0;
}
